#pragma once
// What a double is, read from its bits alone.
//
// Values a host hands over (callback outputs, option values, start points)
// are data until they are known to be numbers. On x86-64 even the quiet
// tests std::isnan and std::isfinite compile to an unordered comparison,
// which raises FE_INVALID for a signalling NaN, and so does any arithmetic
// that loads one: with the drivers' traps on that is SIGFPE. The functions
// here look only at the integer image of a value, so they never raise a
// floating-point exception, and they make a signalling NaN quiet by setting
// its quiet bit, keeping sign and payload (a NaN marker with a payload of
// its own stays recognisable).
//
// The bits pass through an empty asm statement first. Without it g++ sees
// through the integer tests and turns them back into floating-point
// comparisons (which load the value, and which its vectoriser then emits
// as SSE2 comparisons that signal even on a quiet NaN).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <valarray>

enum class FpClass { Finite, Infinite, QuietNaN, SignallingNaN };

namespace fp_bits {
constexpr std::uint64_t kMagnitude = 0x7fffffffffffffffULL;
constexpr std::uint64_t kInfinity = 0x7ff0000000000000ULL;
constexpr std::uint64_t kQuietBit = 0x0008000000000000ULL;
}  // namespace fp_bits

// The bits of v, opaque to the optimiser.
constexpr std::uint64_t opaqueBits(double v) noexcept {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  if (!std::is_constant_evaluated()) __asm__("" : "+r"(bits));
  return bits;
}

// The class of v; no floating-point instruction touches it.
constexpr FpClass classifyBits(double v) noexcept {
  const std::uint64_t magnitude = opaqueBits(v) & fp_bits::kMagnitude;
  if (magnitude < fp_bits::kInfinity) return FpClass::Finite;
  if (magnitude == fp_bits::kInfinity) return FpClass::Infinite;
  return (magnitude & fp_bits::kQuietBit) ? FpClass::QuietNaN : FpClass::SignallingNaN;
}

constexpr bool isFiniteBits(double v) noexcept { return classifyBits(v) == FpClass::Finite; }
constexpr bool isNaNBits(double v) noexcept {
  return (opaqueBits(v) & fp_bits::kMagnitude) > fp_bits::kInfinity;
}

// v, with a signalling NaN made quiet (its quiet bit set, sign and payload
// kept); every other value unchanged.
constexpr double quieted(double v) noexcept {
  if (classifyBits(v) != FpClass::SignallingNaN) return v;
  return std::bit_cast<double>(opaqueBits(v) | fp_bits::kQuietBit);
}

// True when every entry of v is a finite number.
inline bool allFiniteBits(const std::valarray<double>& v) noexcept {
  for (double e : v)
    if (!isFiniteBits(e)) return false;
  return true;
}

// True when |v| < 2^480 (NaN and infinities are not): a product of two such
// values is below 2^960, and a sum of fewer than 2^62 such products, or of
// two such values, stays finite.
inline bool productSafe(double v) {
  constexpr std::uint64_t kBound = std::bit_cast<std::uint64_t>(0x1p480);
  return (opaqueBits(v) & fp_bits::kMagnitude) < kBound;
}

// productSafe for every entry of the vectors.
template <class... Vectors>
bool productSafeEntries(const Vectors&... vectors) {
  const auto safe = [](const std::valarray<double>& v) {
    std::uint64_t largest = 0;
    for (double e : v) {
      const std::uint64_t magnitude = opaqueBits(e) & fp_bits::kMagnitude;
      largest = magnitude > largest ? magnitude : largest;
    }
    return largest < std::bit_cast<std::uint64_t>(0x1p480);
  };
  return (safe(vectors) && ...);
}

// What a block of host values holds: whether any entry is NaN (of either
// kind) or infinite.
struct HostValues {
  bool nan = false;
  bool infinite = false;
  bool finite() const noexcept { return !nan && !infinite; }
};

// Makes every signalling NaN among p[0..n) quiet, in place, and says what
// the block holds. After it the block is safe to load into arithmetic; the
// NaN tests of the callers (std::isnan, the "NaN values encountered" stop)
// see an ordinary NaN. A null p with n = 0 is an empty block.
inline HostValues quietHostValues(double* p, std::size_t n) noexcept {
  HostValues seen;
  for (std::size_t i = 0; i < n; ++i) {
    switch (classifyBits(p[i])) {
      case FpClass::Finite:
        break;
      case FpClass::Infinite:
        seen.infinite = true;
        break;
      case FpClass::SignallingNaN:
        p[i] = quieted(p[i]);
        seen.nan = true;
        break;
      case FpClass::QuietNaN:
        seen.nan = true;
        break;
    }
  }
  return seen;
}
