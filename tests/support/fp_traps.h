#pragma once
// Scoped floating-point traps for tests: the drivers run the library with
// traps on for invalid operations, division by zero and overflow, so code
// that may run there is exercised with the same traps. A trapped operation
// raises SIGFPE and ends the test program, which the test run reports.

#include <fenv.h>

class FpTrapGuard {
 public:
  explicit FpTrapGuard(int excepts = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW) {
    feclearexcept(FE_ALL_EXCEPT);
    previous_ = feenableexcept(excepts);
  }
  ~FpTrapGuard() {
    fedisableexcept(FE_ALL_EXCEPT);
    if (previous_ > 0) feenableexcept(previous_);
  }
  FpTrapGuard(const FpTrapGuard&) = delete;
  FpTrapGuard& operator=(const FpTrapGuard&) = delete;

 private:
  int previous_ = 0;
};
