#pragma once
// A Hessian block operator over a dense symmetric matrix, as the
// minimisation driver's block closure behaves: an n x k block V in, H V out.
// Counts the block products.

#include "dense/matrix.h"

namespace hessian_test {

struct DenseHessian {
  MatrixTemplate<double> H;
  mutable int products = 0;
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& V) const {
    ++products;
    MatrixTemplate<double> R;
    do_mult_blas(H, V, R, false);
    return R;
  }
};

}  // namespace hessian_test
