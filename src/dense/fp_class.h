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
//
// The tests of whole blocks (allFiniteBits, productSafeEntries, the first
// pass of quietHostValues) read the entries as integers from memory and
// hold no comparison at all: the magnitude's bits plus a constant carry
// into the sign bit exactly when the exponent reaches the bound, and the
// carries of all entries are or-ed together. Additions and ors g++ cannot
// turn into a floating-point test, and it packs them two or four entries
// to an instruction; such a pass costs a fraction of the host call that
// wrote the block.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

namespace fp_bits {

// True when every |p[i]| < 2^exponent (NaN and infinities never are), for
// 0 < exponent <= 1024. The biased exponent field is below 1023 + exponent
// exactly when adding 2048 - (1023 + exponent) to it leaves the sign bit
// clear.
template <int exponent>
bool allBelowPowerOfTwo(const double* p, std::size_t n) noexcept {
  static_assert(exponent > 0 && exponent <= 1024);
  constexpr std::uint64_t kCarry = std::uint64_t{2048 - (1023 + exponent)} << 52;
  // The optimiser no longer knows what p points to, so it cannot carry a
  // double it stored there into this pass as a floating-point value.
  __asm__("" : "+r"(p));
  std::uint64_t carries = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, p + i, sizeof bits);
    carries |= (bits & kMagnitude) + kCarry;
  }
  return (carries >> 63) == 0;
}

}  // namespace fp_bits

// True when every entry of p[0..n) is a finite number.
bool allFiniteBits(const double* p, std::size_t n) noexcept;
inline bool allFiniteBits(const std::valarray<double>& v) noexcept {
  return v.size() == 0 || allFiniteBits(&v[0], v.size());
}

// True when |v| < 2^480 (NaN and infinities are not): a product of two such
// values is below 2^960, and a sum of fewer than 2^62 such products, or of
// two such values, stays finite.
inline bool productSafe(double v) {
  constexpr std::uint64_t kBound = std::bit_cast<std::uint64_t>(0x1p480);
  return (opaqueBits(v) & fp_bits::kMagnitude) < kBound;
}

// productSafe for every entry of p[0..n).
bool allProductSafe(const double* p, std::size_t n) noexcept;

// productSafe for every entry of the vectors.
template <class... Vectors>
bool productSafeEntries(const Vectors&... vectors) {
  const auto safe = [](const std::valarray<double>& v) {
    return v.size() == 0 || allProductSafe(&v[0], v.size());
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

// What p[0..n) holds, read by its bits; the block is left as it is.
inline HostValues classifyBlock(const double* p, std::size_t n) noexcept {
  HostValues seen;
  if (allFiniteBits(p, n)) return seen;
  for (std::size_t i = 0; i < n; ++i) {
    const FpClass c = classifyBits(p[i]);
    seen.infinite = seen.infinite || c == FpClass::Infinite;
    seen.nan = seen.nan || c == FpClass::QuietNaN || c == FpClass::SignallingNaN;
  }
  return seen;
}

// Makes every signalling NaN among p[0..n) quiet, in place, and says what
// the block holds. After it the block is safe to load into arithmetic; the
// NaN tests of the callers (std::isnan, the "NaN values encountered" stop)
// see an ordinary NaN. A null p with n = 0 is an empty block.
inline HostValues quietHostValues(double* p, std::size_t n) noexcept {
  const HostValues seen = classifyBlock(p, n);
  if (seen.nan)
    for (std::size_t i = 0; i < n; ++i) p[i] = quieted(p[i]);
  return seen;
}
