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

#include "dense/fp_barrier.h"
#include "dense/fp_class.h"
#include "dense/quiet_compare.h"

// num / den with its IEEE value (a signed infinity for x / 0 and for an
// overflowing quotient, NaN for 0 / 0, inf / inf and NaN operands), computed
// without raising FE_INVALID, FE_DIVBYZERO or FE_OVERFLOW.
//
// Written for the optimiser as much as for the reader: in a loop such as
// `e = quietDivide(e, len)` the tests on the invariant `len` are hoisted out
// of the loop and the body is vectorised, so every test must be safe to run
// before the tests that precede it here (the NaN tests read bits, the
// comparisons are the quiet ones), and the division itself sits behind a
// barrier, so that it is never computed on a path that returns early.
inline double quietDivide(double num, double den) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const FpClass numClass = classifyBits(num), denClass = classifyBits(den);
  if (isNaNBits(num) || isNaNBits(den)) return nan;
  const bool negative = std::signbit(num) != std::signbit(den);
  if (numClass == FpClass::Infinite)
    return denClass == FpClass::Infinite ? nan : (negative ? -inf : inf);
  if (denClass == FpClass::Infinite) return negative ? -0.0 : 0.0;
  if (den == 0.0) return num == 0.0 ? nan : (negative ? -inf : inf);
  // |den| * DBL_MAX cannot overflow while |den| < 1.
  if (quietLess(std::fabs(den), 1.0) &&
      quietGreater(std::fabs(num), std::fabs(den) * DBL_MAX))
    return negative ? -inf : inf;
  fpBarrier(den);
  return num / den;
}

// err / ref for a relative error measure. A zero reference leaves the
// absolute error (as relmaxnorm does), so an exact factorisation of a zero
// matrix reports 0 rather than NaN.
inline double relativeError(double err, double ref) {
  return ref == 0.0 ? err : quietDivide(err, ref);
}
