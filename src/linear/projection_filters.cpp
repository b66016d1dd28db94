#include "linear/projection_filters.h"

#include <stdexcept>

#include "dense/quiet_scope.h"

std::valarray<double> FilterBase::filter(const std::valarray<double>& x) const {
  const std::size_t k = V.cols;
  if (k == 0) return x;
  if (x.size() != V.rows)
    throw std::invalid_argument("FilterBase: vector length differs from the basis length");
  if (w.size() != k)
    throw std::invalid_argument("FilterBase: the number of weights differs from the basis size");
  // x comes from a solve that may have met huge or non-finite products
  // (inf - inf in x - u): the filter passes what it gets on, NaN included,
  // and the solver's own checks judge it.
  return quietly([&] {
    std::valarray<double> s = matrixTransposeVectorProduct(V, x);
    s *= w;
    const std::valarray<double> u = matrixVectorProduct(V, s);
    return std::valarray<double>(x - u);
  });
}

FilterBase2::FilterBase2(const std::valarray<double>* v_, long k_, const std::valarray<double>& c_)
    : v(v_), k(k_), c(c_) {
  if (k < 0) throw std::invalid_argument("FilterBase2: negative number of vectors");
  if (k > 0 && v == nullptr) throw std::invalid_argument("FilterBase2: null basis");
}

std::valarray<double> FilterBase2::operator()(const std::valarray<double>& x) const {
  const std::size_t n = x.size();
  if (c.size() < static_cast<std::size_t>(k))
    throw std::invalid_argument("FilterBase2: fewer weights than basis vectors");
  std::valarray<double> y = x;
  for (long j = 0; j < k; ++j) {
    const std::valarray<double>& vj = v[j];
    if (vj.size() < n) throw std::invalid_argument("FilterBase2: basis vector shorter than x");
    double d = 0.0;
    for (std::size_t i = 0; i < n; ++i) d += vj[i] * x[i];
    const double f = c[j] * d;
    for (std::size_t i = 0; i < n; ++i) y[i] -= f * vj[i];
  }
  return y;
}
