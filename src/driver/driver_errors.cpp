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

const char* nonFiniteValues(const double* values, std::size_t n) noexcept {
  bool infinite = false;
  for (std::size_t i = 0; i < n; ++i) {
    const FpClass c = classifyBits(values[i]);
    if (c == FpClass::QuietNaN || c == FpClass::SignallingNaN) return "NaN values encountered\n";
    infinite = infinite || c == FpClass::Infinite;
  }
  return infinite ? "Inf values encountered\n" : nullptr;
}

void nonFiniteStop(HostEnvironment& host, const char* message) {
  if (opts.enableExit != 0) {
    CallbackGuard asHost(host);
    stop(message);
  }
  std::fprintf(stderr, "stop: %s", message);
  state.error = 3;
}
