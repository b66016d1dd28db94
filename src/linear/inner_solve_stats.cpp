#include "linear/inner_solve_stats.h"

#include <algorithm>
#include <limits>

#include "options/global_state.h"

void recordInnerSolve(std::int64_t iterations, double residual) {
  using Limits = std::numeric_limits<std::int32_t>;
  // Both operands fit in 32 bits after the clamp, so the 64-bit sum is exact.
  const std::int64_t add = std::clamp<std::int64_t>(iterations, Limits::min(), Limits::max());
  const std::int64_t sum = static_cast<std::int64_t>(state.innerIterations) + add;
  state.innerIterations = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(sum, Limits::min(), Limits::max()));
  state.innerResidual = residual;
}
