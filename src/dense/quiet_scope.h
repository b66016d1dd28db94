#pragma once
// A scope in which floating-point exceptions never trap.
//
// Diagnostics that summarise arbitrary data (a sum of entries that may hold
// opposite infinities, the difference of two huge vectors) cannot guard
// every operation one by one. Inside a QuietFpScope every operation gives
// its IEEE default result (NaN, a signed infinity) without raising SIGFPE;
// on leaving it the caller's trap mask and exception flags are back exactly
// as they were, so the flags raised inside do not leak either.
//
// The arithmetic to protect must read its operands from memory inside the
// scope and leave its results in memory or use them inside the scope (a
// stream write, a store), so that the compiler cannot move it across the
// two library calls.

#include <fenv.h>

#include <utility>

class QuietFpScope {
 public:
  QuietFpScope() noexcept { feholdexcept(&saved_); }
  ~QuietFpScope() { fesetenv(&saved_); }
  QuietFpScope(const QuietFpScope&) = delete;
  QuietFpScope& operator=(const QuietFpScope&) = delete;

 private:
  fenv_t saved_;
};

// Runs f, inside a QuietFpScope when `quiet` is set: the rare steps of a
// solver that meet non-finite values pay for the scope, the ordinary ones
// do not.
template <class F>
void runQuietIf(bool quiet, F&& f) {
  if (quiet) {
    const QuietFpScope scope;
    std::forward<F>(f)();
  } else {
    std::forward<F>(f)();
  }
}

// The value of compute(), evaluated inside a QuietFpScope: a formula over
// values that may be huge, infinite or NaN gives its IEEE result.
template <class Compute>
auto quietly(Compute&& compute) {
  const QuietFpScope scope;
  return std::forward<Compute>(compute)();
}
