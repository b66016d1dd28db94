#pragma once
// The abstract operator interfaces the iterative solvers work on: a vector
// product, a block product, and a block product paired with its transpose.
// Solvers and adaptors hold these through references or pointers to the
// base, so each has a virtual destructor.

#include <valarray>

#include "dense/matrix.h"

// y = A x.
class VectorOperator {
 public:
  virtual ~VectorOperator() = default;
  virtual std::valarray<double> operator()(const std::valarray<double>& x) const = 0;
};

// Y = A X for a block X.
class MatrixOperator {
 public:
  virtual ~MatrixOperator() = default;
  virtual MatrixTemplate<double> operator()(const MatrixTemplate<double>& X) const = 0;
};

// Column-by-column products with A and with its transpose.
class MMPOperator {
 public:
  virtual ~MMPOperator() = default;
  // A X: A applied to each column of X.
  virtual MatrixTemplate<double> matvecprod(const MatrixTemplate<double>& X) const = 0;
  // A^T Y: the transpose applied to each column of Y.
  virtual MatrixTemplate<double> matTvecprod(const MatrixTemplate<double>& Y) const = 0;
};
