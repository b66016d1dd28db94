#include "dense/random.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// The smallest prime not below 2^31 - 1, by trial division with every d
// below sqrt(candidate) + 1.
std::uint64_t searchModulus() {
  for (std::uint64_t cand = 2147483647ULL;; ++cand) {
    const double limit = std::sqrt(static_cast<double>(cand)) + 1.0;
    bool prime = true;
    for (std::uint64_t d = 2; static_cast<double>(d) < limit; ++d)
      if (cand % d == 0) {
        prime = false;
        break;
      }
    if (prime) return cand;
  }
}

}  // namespace

std::uint64_t inversive_modulus() {
  // A constant; the search runs once per process.
  static const std::uint64_t m = searchModulus();
  return m;
}

std::uint64_t inversive_seed(std::uint64_t m) {
  return static_cast<std::uint64_t>(omp_get_wtime() * 1e9) % m;
}

std::uint64_t modular_power(std::uint64_t u, std::uint64_t e, std::uint64_t m) {
  std::uint64_t r = (e & 1) ? u : 1;
  for (e >>= 1; e != 0; e >>= 1) {
    u = u * u % m;
    if (e & 1) r = r * u % m;
  }
  return r % m;
}

namespace {

// The modulus of randvec and randfill, 2^31 - 1. Being a Mersenne prime it
// has a reduction without division: 2^31 = 1 (mod m), so the bits above
// bit 31 of a product fold onto its low bits.
constexpr std::uint64_t kMersenne31 = 2147483647ULL;

// a b mod 2^31 - 1 for a, b < 2^31. The product is below 2^62, one fold
// leaves less than 2^32, a second one at most 2^31 = m + 1.
inline std::uint64_t mulMod31(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t p = a * b;
  std::uint64_t r = (p & kMersenne31) + (p >> 31);
  r = (r & kMersenne31) + (r >> 31);
  return r >= kMersenne31 ? r - kMersenne31 : r;
}

// u^-1 mod 2^31 - 1 for 1 <= u < m, by the extended Euclidean algorithm on
// (m, u): the invariant t_i u = r_i (mod m) ends with r = 1. The inverse
// modulo a prime is unique, so this is exactly u^(m-2) mod m, the value of
// the square-and-multiply rule, at a fraction of its cost.
std::uint64_t inverseMod31(std::uint64_t u) {
  std::uint32_t a = static_cast<std::uint32_t>(kMersenne31), b = static_cast<std::uint32_t>(u);
  std::int64_t t0 = 0, t1 = 1;
  while (b != 0) {
    const std::uint32_t q = a / b, r = a - q * b;
    a = b;
    b = r;
    const std::int64_t t = t0 - static_cast<std::int64_t>(q) * t1;
    t0 = t1;
    t1 = t;
  }
  return static_cast<std::uint64_t>(t0 < 0 ? t0 + static_cast<std::int64_t>(kMersenne31) : t0);
}

// The numbers of inversive_fill for m = 2^31 - 1 without one inversion per
// number. The step x -> 1 / (x + 2) is a Moebius map: with x = p / q it is
// (p, q) -> (q, p + 2 q), all mod m, which needs no inverse; a denominator
// p + 2 q = 0 means x + 2 = 0, where the generator gives 0 = 0 / 1. So a
// block of states is formed as fractions, and all their denominators are
// inverted at once (Montgomery's trick): with prefix products
// c_j = q_0 ... q_j, one inverse of c_last yields every 1 / q_j by two
// products per entry on the way back. Every state is then exactly p_j / q_j
// mod m, the same integer the one-step rule gives.
std::uint64_t mersenneFill(std::valarray<double>& v, std::uint64_t state) {
  constexpr std::size_t kBlock = 256;
  constexpr double dm = static_cast<double>(kMersenne31);
  std::uint64_t P[kBlock], Q[kBlock], prefix[kBlock];
  std::uint64_t p = state, q = 1;
  const std::size_t n = v.size();
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    std::uint64_t product = 1;
    for (std::size_t j = 0; j < len; ++j) {
      std::uint64_t d = p + 2 * q;  // below 3 m
      if (d >= kMersenne31) d -= kMersenne31;
      if (d >= kMersenne31) d -= kMersenne31;
      if (d == 0) {
        p = 0;
        q = 1;
      } else {
        p = q;
        q = d;
      }
      P[j] = p;
      Q[j] = q;
      product = mulMod31(product, q);
      prefix[j] = product;
    }
    std::uint64_t inverse = inverseMod31(product);  // of q_0 ... q_j on the way back
    for (std::size_t j = len; j-- > 0;) {
      const std::uint64_t qInverse = j > 0 ? mulMod31(inverse, prefix[j - 1]) : inverse;
      inverse = mulMod31(inverse, Q[j]);
      const std::uint64_t x = mulMod31(P[j], qInverse);
      if (j == len - 1) state = x;
      v[start + j] = static_cast<double>(x) / dm;
    }
  }
  return state;
}

}  // namespace

std::uint64_t inversive_step(std::uint64_t x, std::uint64_t m) {
  const std::uint64_t u = (x + 2) % m;
  if (u == 0) return 0;
  return m == kMersenne31 ? inverseMod31(u) : modular_power(u, m - 2, m);
}

std::uint64_t inversive_fill(std::valarray<double>& v, std::uint64_t state, std::uint64_t m) {
  if (m == kMersenne31 && state < m) return mersenneFill(v, state);
  const double dm = static_cast<double>(m);
  for (std::size_t i = 0; i < v.size(); ++i) {
    state = inversive_step(state, m);
    v[i] = static_cast<double>(state) / dm;
  }
  return state;
}

std::valarray<double> randvec(long n) {
  if (n < 0) throw std::invalid_argument("randvec: negative length");
  std::valarray<double> v(static_cast<std::size_t>(n));
  randfill(v);
  return v;
}

void randfill(std::valarray<double>& v) {
  if (v.size() == 0) return;
  const std::uint64_t m = inversive_modulus();
  inversive_fill(v, inversive_seed(m), m);
}

template class PRNG::LinearPRNG<std::uint64_t>;
template class PRNG::InvertedPRNG<std::uint64_t>;
