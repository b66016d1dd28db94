#pragma once
// Arithmetic on values that came from the host (objective values, steps,
// gradients and directions built on them), with IEEE results and no trap
// under the driver's mask: an overflow gives infinity, inf - inf NaN.
//
// The scalar forms take the plain path when both operands are below half
// the largest double (where neither a sum nor a difference can overflow)
// and switch the traps off only otherwise, because switching costs more
// than the line search's arithmetic itself.

#include <cfloat>
#include <cmath>
#include <valarray>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"

inline double quietSum(double a, double b) {
  if (quietLess(std::fabs(a), 0.5 * DBL_MAX) && quietLess(std::fabs(b), 0.5 * DBL_MAX))
    return a + b;
  return quietly([&] { return a + b; });
}

inline double quietDifference(double a, double b) { return quietSum(a, -b); }

// a b on the plain path while |a| and |b| are at most 2^511 each.
inline double quietProduct(double a, double b) {
  constexpr double root = 0x1p511;
  if (quietLessEqual(std::fabs(a), root) && quietLessEqual(std::fabs(b), root)) return a * b;
  return quietly([&] { return a * b; });
}
