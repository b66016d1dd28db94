#pragma once
// a . b of vectors that came from the host (gradients, directions built on
// them): an overflowing sum gives infinity and inf - inf NaN, as IEEE
// arithmetic has it, instead of a trap under the driver's mask.

#include <valarray>

#include "dense/quiet_scope.h"
#include "linear/vector_kernels.h"

inline double quietDot(const std::valarray<double>& a, const std::valarray<double>& b) {
  return quietly([&] { return dotProduct(a, b); });
}
