#pragma once
// A scope whose floating-point exceptions neither trap nor stay flagged.
//
// The drivers' own arithmetic runs with traps on, so that a NaN or an
// overflow the driver makes by mistake stops at once. Some formulas combine
// values the host delivered (objective values, gradients, option values):
// finite differences, enhancements, ratios of the stopping rules. A host
// value near the overflow threshold, an infinite objective at a trial point
// or a NaN option must give an infinite or NaN result there, which the
// caller then tests with std::isnan / std::isfinite or the quiet
// comparisons, instead of a SIGFPE in the host. Those formulas run inside
// this scope; it costs a save and a restore of the floating-point
// environment.

#include <fenv.h>

class QuietArithmetic {
 public:
  QuietArithmetic() noexcept { feholdexcept(&saved_); }
  ~QuietArithmetic() {
    // What the enclosed code raised is dropped; the flags and traps in force
    // before come back.
    feclearexcept(FE_ALL_EXCEPT);
    fesetenv(&saved_);
  }
  QuietArithmetic(const QuietArithmetic&) = delete;
  QuietArithmetic& operator=(const QuietArithmetic&) = delete;

 private:
  fenv_t saved_;
};

// The value of compute() evaluated inside a QuietArithmetic scope.
template <class Compute>
auto quietly(Compute&& compute) {
  QuietArithmetic quiet;
  return compute();
}
