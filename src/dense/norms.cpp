// Euclidean norms without overflow or underflow.
//
// ||x|| = sqrt(sum x_i^2). The plain sum is exact enough and cheapest, but
// x_i^2 overflows for |x_i| >= 2^512 and underflows (losing digits, then
// everything) for |x_i| < 2^-511. So the plain sum runs first and is kept
// whenever it is safe:
//   - every |x_i| < 2^486, so each square is below 2^972 and even 2^48 of
//     them stay below 2^1020: the running sum cannot overflow; an entry at or
//     above the bound ends the plain pass before it is squared;
//   - the sum is at least 2^-968: every square that underflowed contributed
//     at most 2^-1075 of error, which is far below the last digit of a sum
//     of that size.
// Otherwise, with a = max |x_i| = f 2^e (1 <= f < 2), the norm is
// 2^e sqrt(sum (2^-e x_i)^2): scaling by a power of two is exact, the
// largest scaled entry lies in [1, 2), and no square over- or underflows in
// a way that matters. The result is rescaled only when it is representable,
// else it is infinity.

#include "dense/norms.h"

#include <fmt/format.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "dense/fp_class.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"

namespace {

constexpr double kLargeEntry = 0x1p486;
constexpr double kSmallSum = 0x1p-968;

enum class Order { LastToFirst, FirstToLast };

// The index of the k-th entry visited, 0 <= k < n.
template <Order order>
std::size_t visited(std::size_t k, std::size_t n) {
  return order == Order::LastToFirst ? n - 1 - k : k;
}

template <Order order>
double scaledNorm(const double* p, std::size_t n) {
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = std::fabs(p[i]);
    if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
    if (quietGreater(v, largest)) largest = v;
  }
  if (largest == 0.0) return 0.0;
  if (std::isinf(largest)) return std::numeric_limits<double>::infinity();
  const int e = std::ilogb(largest);
  double s = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double v = std::scalbn(p[visited<order>(k, n)], -e);
    s += v * v;
  }
  const double r = std::sqrt(s);
  if (std::ilogb(r) + e >= DBL_MAX_EXP) return std::numeric_limits<double>::infinity();
  return std::scalbn(r, e);
}

template <Order order>
double euclideanNorm(const std::valarray<double>& x) {
  const std::size_t n = x.size();
  if (n == 0) return 0.0;
  const double* p = &x[0];
  // An entry is tested by its bits before it is squared: NaN and the
  // infinities lie above the bound too, and scaledNorm gives their norms.
  constexpr std::uint64_t kLargeBits = std::bit_cast<std::uint64_t>(kLargeEntry);
  double s = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double v = p[visited<order>(k, n)];
    if ((opaqueBits(v) & fp_bits::kMagnitude) >= kLargeBits) return scaledNorm<order>(p, n);
    s += v * v;
  }
  // Every entry was a number below the bound: s is finite.
  if (s < kSmallSum) return scaledNorm<order>(p, n);
  return std::sqrt(s);
}

// Norms at or above this bound may belong to vectors whose difference
// overflows, or to infinite ones.
constexpr double kHalfLargest = DBL_MAX / 2;

double relativeDifference(const std::valarray<double>& a, const std::valarray<double>& b,
                          double na, double nb) {
  const std::size_t n = a.size();
  std::valarray<double> diff(n);
  for (std::size_t i = 0; i < n; ++i) diff[i] = a[i] - b[i];
  const double d = normfro(diff);
  // Written so that a NaN nb falls back to na, and a NaN na stays.
  const double m = quietGreater(nb, na) ? nb : na;
  return m != 0.0 ? quietDivide(d, m) : d;
}

}  // namespace

double normfro(const std::valarray<double>& x) { return euclideanNorm<Order::LastToFirst>(x); }

double normForward(const std::valarray<double>& x) {
  return euclideanNorm<Order::FirstToLast>(x);
}

double relmaxnorm(const std::valarray<double>& a, const std::valarray<double>& b) {
  const std::size_t n = a.size();
  if (b.size() < n)
    throw std::invalid_argument(
        fmt::format("relmaxnorm: b has {} entries, fewer than the {} of a", b.size(), n));
  const double na = normfro(a);
  const double nb = normfro(b);
  // Below the bound |a_i - b_i| <= na + nb cannot overflow and no two
  // infinities meet; beyond it the difference keeps its IEEE value quietly.
  if (quietLess(na, kHalfLargest) && quietLess(nb, kHalfLargest))
    return relativeDifference(a, b, na, nb);
  const QuietFpScope quiet;
  return relativeDifference(a, b, na, nb);
}
