#include "options/error_exit.h"

#include <cstdlib>

#include <fmt/format.h>

#include "options/global_state.h"
#include "options/opts.h"

ZelkErrorHandler errorHandler = nullptr;

const char* const into[4] = {"libzelk", __DATE__, __TIME__, "x86-64"};

void zelkStop(std::string msg, int code) {
  fmt::print(stderr, "Error: {} code {}\n", msg, code);
  state.error = code;
  if (opts.enableErrorHandler != 0 && errorHandler != nullptr) errorHandler(code);
  if (opts.enableExit != 0) std::exit(code);
}

void stop(const std::string& msg) {
  fmt::print(stderr, "stop: {}\n", msg);
  std::exit(3);
}
