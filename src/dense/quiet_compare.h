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
// They compare the values' bit images as integers (kept opaque to the
// optimiser, see fp_class.h), not with the standard std::isless family: g++
// vectorises a loop of std::isgreater tests at -O3 into SSE2's packed
// comparisons, which signal on a quiet NaN. For numbers
// that are not NaN the order of the integer keys below is the order of the
// values (-0 and +0 equal), so the results are those of the IEEE
// comparisons, and no floating-point instruction touches the operands.
//
// The rule for tolerances: a NaN never meets one and never exceeds one, so a
// NaN test value neither reports convergence nor fires a limit; callers that
// must react to a NaN test it with std::isnan.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <valarray>

#include "dense/fp_class.h"

namespace quiet_compare_detail {

// A signed integer in the order of the values: the magnitude's bits, negated
// for a negative sign (so both zeros give 0).
constexpr std::int64_t orderKey(double v) noexcept {
  const std::uint64_t b = opaqueBits(v);
  const auto magnitude = static_cast<std::int64_t>(b & fp_bits::kMagnitude);
  return (b >> 63) != 0 ? -magnitude : magnitude;
}

constexpr bool ordered(double a, double b) noexcept { return !isNaNBits(a) && !isNaNBits(b); }

}  // namespace quiet_compare_detail

// a < b, a <= b, a > b, a >= b; false whenever either side is NaN.
constexpr bool quietLess(double a, double b) noexcept {
  using namespace quiet_compare_detail;
  return ordered(a, b) && orderKey(a) < orderKey(b);
}
constexpr bool quietLessEqual(double a, double b) noexcept {
  using namespace quiet_compare_detail;
  return ordered(a, b) && orderKey(a) <= orderKey(b);
}
constexpr bool quietGreater(double a, double b) noexcept { return quietLess(b, a); }
constexpr bool quietGreaterEqual(double a, double b) noexcept { return quietLessEqual(b, a); }

// The larger / smaller of a and b, NaN when either is NaN (so that a NaN is
// not silently dropped from a bound or a scale).
inline double quietMax(double a, double b) {
  if (isNaNBits(a)) return quieted(a);
  if (isNaNBits(b)) return quieted(b);
  return quietGreater(b, a) ? b : a;
}
inline double quietMin(double a, double b) {
  if (isNaNBits(a)) return quieted(a);
  if (isNaNBits(b)) return quieted(b);
  return quietLess(b, a) ? b : a;
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
