#pragma once
// Comparisons that never raise a floating-point exception.
//
// With g++ on x86-64 an ordered comparison (<, <=, >, >=, std::max, std::min)
// that meets a NaN raises FE_INVALID, which is SIGFPE while the drivers run
// with traps on. Any value that came from a host callback, an option the host
// or the monitor may have set to NaN, or a ratio of such values goes through
// these instead. == and != are quiet already, and so are std::fmax and
// std::fmin (which ignore a NaN argument).
//
// The rule for tolerances: a NaN never meets one and never exceeds one, so a
// NaN test value neither reports convergence nor fires a limit; callers that
// must react to a NaN test it with std::isnan.

#include <cmath>
#include <cstddef>
#include <limits>
#include <valarray>

// a < b, a <= b, a > b, a >= b; false whenever either side is NaN.
inline bool quietLess(double a, double b) { return std::isless(a, b); }
inline bool quietLessEqual(double a, double b) { return std::islessequal(a, b); }
inline bool quietGreater(double a, double b) { return std::isgreater(a, b); }
inline bool quietGreaterEqual(double a, double b) { return std::isgreaterequal(a, b); }

// The larger / smaller of a and b, NaN when either is NaN (so that a NaN is
// not silently dropped from a bound or a scale).
inline double quietMax(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return a + b;
  return std::isgreater(b, a) ? b : a;
}
inline double quietMin(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return a + b;
  return std::isless(b, a) ? b : a;
}

// The smallest / largest entry of v, NaN when any entry is NaN (where
// std::valarray's min() and max() would trap); NaN for an empty v.
inline double quietMinEntry(const std::valarray<double>& v) {
  if (v.size() == 0) return std::numeric_limits<double>::quiet_NaN();
  double m = v[0];
  for (std::size_t i = 1; i < v.size(); ++i) m = quietMin(m, v[i]);
  return m;
}
inline double quietMaxEntry(const std::valarray<double>& v) {
  if (v.size() == 0) return std::numeric_limits<double>::quiet_NaN();
  double m = v[0];
  for (std::size_t i = 1; i < v.size(); ++i) m = quietMax(m, v[i]);
  return m;
}
