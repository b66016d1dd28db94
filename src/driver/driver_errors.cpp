#include "driver/driver_errors.h"

#include <cmath>
#include <cstdio>

#include "dense/fp_class.h"
#include "driver/callback_guard.h"
#include "options/error_exit.h"
#include "options/global_state.h"
#include "options/opts.h"

void driverStop(HostEnvironment& host, const std::string& message, int code) {
  CallbackGuard asHost(host);
  zelkStop(message, code);
}

const char* nonFiniteMessage(HostValues held) noexcept {
  if (held.nan) return "NaN values encountered\n";
  return held.infinite ? "Inf values encountered\n" : nullptr;
}

const char* nonFiniteValues(const double* values, std::size_t n) noexcept {
  return nonFiniteMessage(classifyBlock(values, n));
}

void nonFiniteStop(HostEnvironment& host, const char* message) {
  if (opts.enableExit != 0) {
    CallbackGuard asHost(host);
    stop(message);
  }
  std::fprintf(stderr, "stop: %s", message);
  state.error = 3;
}
