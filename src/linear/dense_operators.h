#pragma once
// A dense matrix as the three operators of the matrix-free solvers: y = A x,
// y = A^T x and the identity (the preconditioner of the dense path). Each is
// a callable for SizedVectorFunction; the products hold a reference to the
// matrix, which must outlive them.

#include <valarray>

#include "dense/matrix.h"

// y = A x (A.rows values, one CBLAS dgemv). x needs at least A.cols values
// (std::invalid_argument otherwise).
struct DenseProduct {
  const MatrixTemplate<double>& A;
  std::valarray<double> operator()(const std::valarray<double>& x) const {
    return matrixVectorProduct(A, x);
  }
};

// y = A^T x (A.cols values, one CBLAS dgemv). x needs at least A.rows values.
struct DenseTransposedProduct {
  const MatrixTemplate<double>& A;
  std::valarray<double> operator()(const std::valarray<double>& x) const {
    return matrixTransposeVectorProduct(A, x);
  }
};

// y = a copy of x.
struct IdentityProduct {
  std::valarray<double> operator()(const std::valarray<double>& x) const { return x; }
};
