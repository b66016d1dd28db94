// SD2: the Gauss-Newton direction
//
//     d = argmin ||J d + r||_2,
//
// the step to the minimum of the residuals' linear model. Dense: the QR
// least-squares solve of LAPACK's dgels, for m >= n; a wide J, or a J that
// dgels finds rank-deficient (an exactly zero diagonal entry of R), gives
// no direction.

#include <lapacke.h>

#include "dense/blas_int.h"
#include "dense/quiet_scope.h"
#include "leastsq/search_directions.h"

Direction gaussNewtonDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r) {
  const std::size_t m = J.rows, n = J.cols;
  if (m < n) return Direction();
  const int mi = to_blas_int(m, "gaussNewtonDirection"),
            ni = to_blas_int(n, "gaussNewtonDirection");
  std::valarray<double> A = J.elements;
  std::valarray<double> b = -r;
  // A nearly singular R gives a huge solution: its IEEE value, no trap.
  const lapack_int info =
      quietly([&] { return LAPACKE_dgels(LAPACK_ROW_MAJOR, 'N', mi, ni, 1, &A[0], ni, &b[0], 1); });
  if (info != 0) return Direction();
  return Direction(b[std::slice(0, n, 1)]);
}

// Shifted normal equations by CG: built with the matrix-free step solvers.
Direction gaussNewtonDirectionMatrixFree(TrovikOptimizationTask&, const std::valarray<double>&,
                                         std::valarray<double>&) {
  return Direction();
}
