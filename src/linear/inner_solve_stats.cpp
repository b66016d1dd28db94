#include "linear/inner_solve_stats.h"

#include <algorithm>
#include <atomic>
#include <limits>

#include "options/global_state.h"

namespace {

using Limits = std::numeric_limits<std::int32_t>;

std::int32_t saturatedSum(std::int32_t total, std::int64_t add) {
  // Both operands fit in 32 bits after the clamp, so the 64-bit sum is exact.
  const std::int64_t a = std::clamp<std::int64_t>(add, Limits::min(), Limits::max());
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(static_cast<std::int64_t>(total) + a, Limits::min(), Limits::max()));
}

}  // namespace

void recordInnerSolve(std::int64_t iterations, double residual) {
  std::atomic_ref<std::int32_t> total(state.innerIterations);
  std::int32_t seen = total.load(std::memory_order_relaxed);
  while (!total.compare_exchange_weak(seen, saturatedSum(seen, iterations),
                                      std::memory_order_relaxed)) {
  }
  std::atomic_ref<double>(state.innerResidual).store(residual, std::memory_order_relaxed);
}

void resetInnerSolves() {
  std::atomic_ref<std::int32_t>(state.innerIterations).store(0, std::memory_order_relaxed);
  std::atomic_ref<double>(state.innerResidual).store(0.0, std::memory_order_relaxed);
}

void setInnerIterations(std::int32_t iterations) {
  std::atomic_ref<std::int32_t>(state.innerIterations).store(iterations, std::memory_order_relaxed);
}

std::valarray<double> zeroSolution(std::size_t n) {
  recordInnerSolve(0, 0.0);
  return std::valarray<double>(0.0, n);
}
