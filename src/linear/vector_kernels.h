#pragma once
// Small vector kernels of the iterative solvers, written as plain loops so
// that the order of summation (first entry to last) is fixed.

#include <cmath>
#include <cstddef>
#include <valarray>

// sum_k a_k b_k over a's length; b needs at least as many entries.
inline double dotProduct(const std::valarray<double>& a, const std::valarray<double>& b) {
  double s = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
  return s;
}

// True when every entry is a finite number.
inline bool allFinite(const std::valarray<double>& v) {
  for (double e : v)
    if (!std::isfinite(e)) return false;
  return true;
}

// True when every entry is zero (an empty vector included).
inline bool allZero(const std::valarray<double>& v) {
  for (double e : v)
    if (e != 0.0) return false;
  return true;
}
