#include "steps/step_limits.h"

#include <algorithm>
#include <limits>

namespace {
std::uint32_t clampTo32(std::uint64_t v) {
  constexpr std::uint64_t most = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(std::min(v, most));
}
}  // namespace

std::uint64_t decscalePower(unsigned int decscale) { return std::uint64_t{1} << (decscale % 32); }

std::uint32_t bidStepLimit(std::uint64_t rows, std::uint64_t cols, unsigned int decscale) {
  return clampTo32(std::min({rows, cols, decscalePower(decscale)}));
}

std::uint32_t vkrStepLimit(std::uint64_t n, unsigned int decscale) {
  return clampTo32(std::min(decscalePower(decscale) - 1, n));
}
