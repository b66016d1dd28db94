#include "dense/random.h"

#include <omp.h>

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

std::uint64_t inversive_step(std::uint64_t x, std::uint64_t m) {
  const std::uint64_t u = (x + 2) % m;
  return u == 0 ? 0 : modular_power(u, m - 2, m);
}

std::uint64_t inversive_fill(std::valarray<double>& v, std::uint64_t state, std::uint64_t m) {
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
