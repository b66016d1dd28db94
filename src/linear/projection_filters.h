#pragma once
// Projection filters of the "haircut" CG methods: they remove (weighted)
// components of a vector along a small set of basis vectors, typically
// approximate eigenvectors of the smallest eigenvalues.

#include <valarray>

#include "dense/matrix.h"
#include "linear/operator_interfaces.h"

// x -> x - V diag(w) V^T x, with V n x k (one basis vector per column) and k
// weights. Two CBLAS matrix-vector products per application. Holds
// references to V and w, which must outlive it.
class FilterBase : public VectorOperator {
 public:
  const MatrixTemplate<double>& V;
  const std::valarray<double>& w;

  FilterBase(const MatrixTemplate<double>& V_, const std::valarray<double>& w_) : V(V_), w(w_) {}
  FilterBase(const MatrixTemplate<double>&&, const std::valarray<double>&) = delete;
  FilterBase(const MatrixTemplate<double>&, const std::valarray<double>&&) = delete;

  // With k = 0 a copy of x. Otherwise x must have n entries and w exactly k
  // (std::invalid_argument if not).
  std::valarray<double> filter(const std::valarray<double>& x) const;
  std::valarray<double> operator()(const std::valarray<double>& x) const override {
    return filter(x);
  }
};

// x -> x - sum_j c_j (v_j . x) v_j over k vectors stored contiguously. Every
// coefficient is taken from the input x (classical, not modified,
// Gram-Schmidt). Holds a pointer to the vectors and a reference to c.
class FilterBase2 : public VectorOperator {
 public:
  const std::valarray<double>* v;
  long k;
  const std::valarray<double>& c;

  // k < 0, or k > 0 with a null v, raises std::invalid_argument.
  FilterBase2(const std::valarray<double>* v_, long k_, const std::valarray<double>& c_);
  FilterBase2(const std::valarray<double>*, long, const std::valarray<double>&&) = delete;

  // Each v_j must have at least as many entries as x, and c at least k
  // (std::invalid_argument if not).
  std::valarray<double> operator()(const std::valarray<double>& x) const override;
};
