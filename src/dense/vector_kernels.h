#pragma once
// Small vector kernels of the solvers, the eigen iterations and both
// drivers, written as plain loops so that the order of summation (first
// entry to last) is fixed.
//
// Their vectors hold products of the host, or values built on them,
// which may be huge, infinite or NaN. The kernels then give their IEEE
// results (infinity for an overflow, NaN for inf - inf and inf * 0) without
// a trap, for the solvers' finiteness tests: entries are looked at by their
// bits first, the plain loop runs while every entry is below 2^480, and a
// quiet scope takes over otherwise.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <valarray>

#include "dense/fp_class.h"
#include "dense/quiet_scope.h"

// sum_k a_k b_k over a's length; b needs at least as many entries.
inline double dotProduct(const std::valarray<double>& a, const std::valarray<double>& b) {
  const auto sum = [&] {
    double s = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
    return s;
  };
  double s = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (!productSafe(a[k]) || !productSafe(b[k])) return quietly(sum);
    s += a[k] * b[k];
  }
  return s;
}

// a - b over a's length; b needs at least as many entries.
inline std::valarray<double> vectorDifference(const std::valarray<double>& a,
                                              const std::valarray<double>& b) {
  std::valarray<double> d(a.size());
  const auto subtract = [&] {
    for (std::size_t k = 0; k < a.size(); ++k) d[k] = a[k] - b[k];
  };
  runQuietIf(!productSafeEntries(a, b), subtract);
  return d;
}

// y += a x for y and x of one length.
inline void addScaled(std::valarray<double>& y, double a, const std::valarray<double>& x) {
  const auto update = [&] {
    for (std::size_t k = 0; k < y.size(); ++k) y[k] = a * x[k] + y[k];
  };
  runQuietIf(!(productSafe(a) && productSafeEntries(x, y)), update);
}

// True when every entry is a finite number (read by its bits, so that a
// signalling NaN raises nothing either).
inline bool allFinite(const std::valarray<double>& v) { return allFiniteBits(v); }

// True when every entry is zero (an empty vector included).
inline bool allZero(const std::valarray<double>& v) {
  for (double e : v)
    if (e != 0.0) return false;
  return true;
}
