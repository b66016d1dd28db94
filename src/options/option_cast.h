#pragma once
// Conversion of an option value (always handed over as a double) to the type
// of the option's field.
//
// Integer fields take the value truncated toward zero, saturated to the
// field's range, so that any double is a defined input:
//   - NaN carries no number and leaves the field as it was (`unchanged`);
//   - int and long clamp values beyond their range, infinities included;
//   - unsigned int keeps the long-standing rule that a negative value wraps
//     modulo 2^32 ("maxit" = -1 means 4294967295); values at or above 2^32
//     clamp to 4294967295, values below the 64-bit range (and -inf) to 0.

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

template <class T>
T option_cast(double v, T unchanged) noexcept {
  static_assert(std::is_same_v<T, double> || std::is_same_v<T, long> ||
                    std::is_same_v<T, int> || std::is_same_v<T, unsigned int>,
                "option fields are double, long, int or unsigned int");
  if constexpr (std::is_same_v<T, double>) {
    return v;
  } else {
    if (std::isnan(v)) return unchanged;
    if constexpr (std::is_same_v<T, unsigned int>) {
      if (v >= 4294967296.0) return std::numeric_limits<unsigned int>::max();
      if (v < -9223372036854775808.0) return 0u;
      // In range of int64: keep its low 32 bits (well defined since C++20).
      return static_cast<unsigned int>(static_cast<std::int64_t>(v));
    } else {
      // The limits of a two's-complement type are -2^k and 2^k - 1; both -2^k
      // and 2^k are exact doubles, so the comparisons below are exact.
      constexpr double low = static_cast<double>(std::numeric_limits<T>::min());
      if (v >= -low) return std::numeric_limits<T>::max();
      if (v < low) return std::numeric_limits<T>::min();
      return static_cast<T>(v);
    }
  }
}
