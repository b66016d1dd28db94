#pragma once
// Divisions that never raise a floating-point exception.
//
// The drivers may run with traps on for invalid operations, division by zero
// and overflow. Diagnostics such as condition numbers legitimately meet zero
// or tiny denominators, so they branch before dividing and assign the value
// IEEE arithmetic would have produced, instead of letting the trap fire.

#include <cfloat>
#include <cmath>
#include <limits>

// num / den with its IEEE value (a signed infinity for x / 0 and for an
// overflowing quotient, NaN for 0 / 0, inf / inf and NaN operands), computed
// without raising FE_INVALID, FE_DIVBYZERO or FE_OVERFLOW.
inline double quietDivide(double num, double den) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (std::isnan(num) || std::isnan(den)) return nan;
  const bool negative = std::signbit(num) != std::signbit(den);
  if (std::isinf(num)) return std::isinf(den) ? nan : (negative ? -inf : inf);
  if (den == 0.0) return num == 0.0 ? nan : (negative ? -inf : inf);
  // |den| * DBL_MAX cannot overflow while |den| < 1.
  if (std::fabs(den) < 1.0 && std::fabs(num) > std::fabs(den) * DBL_MAX)
    return negative ? -inf : inf;
  return num / den;
}

// err / ref for a relative error measure. A zero reference leaves the
// absolute error (as relmaxnorm does), so an exact factorisation of a zero
// matrix reports 0 rather than NaN.
inline double relativeError(double err, double ref) {
  return ref == 0.0 ? err : quietDivide(err, ref);
}
