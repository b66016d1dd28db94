#pragma once
// Narrowing of option counts to the 32-bit fields of the solvers: values
// beyond the range clamp to its ends instead of wrapping (a "maxit" of 2^32
// must not become 0).

#include <cstdint>
#include <limits>

inline std::int32_t saturateToInt32(long v) {
  constexpr long lo = std::numeric_limits<std::int32_t>::min();
  constexpr long hi = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(v < lo ? lo : (v > hi ? hi : v));
}
