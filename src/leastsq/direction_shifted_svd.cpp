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
// Matrix-free: the "cgnormal" solve of the linear-solver front end, CG on
//
//     (J^T J + sigma I) d = -J^T r,
//
// sigma = "normalregshift", or "regshiftrel" times an estimate of the
// largest eigenvalue of J^T J when that is set, watched by a fresh stop
// record and a history checker.

#include <iostream>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/random.h"
#include "leastsq/host_products.h"
#include "leastsq/linear_solve_frame.h"
#include "leastsq/search_directions.h"
#include "leastsq/truncated_svd_solve.h"
#include "linear/inner_solve_stats.h"
#include "linear/linsolve_matfree.h"
#include "options/opts.h"

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
  DecomposedGeneralMatrix svd(J, SvdShape::thin, decompChecks());
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

Direction normalEquationsDirectionMatrixFree(TrovikOptimizationTask& task,
                                             const std::valarray<double>& x,
                                             std::valarray<double>& r) {
  resetInnerSolves();
  const std::size_t m = r.size(), n = x.size();
  LinearSolveFrame frame;
  OptionMap settings = frame.solverOptions();
  settings["shift"] = opts.normalregshift;
  settings["relshift"] = opts.regshiftrel;
  const HostProducts products(task, x, r);
  const SizedVectorFunction<JProduct> A(map_union(dimensions(m, n), settings), products.J);
  const SizedVectorFunction<JTProduct> AT(dimensions(n, m), products.JT);
  const IdentityProduct same;
  const SizedVectorFunction<IdentityProduct> identity(dimensions(n, n), same);
  Direction residual;
  return Zelk::linsolve_matfree("cgnormal", A, AT, identity, Direction(-r),
                                randvec(static_cast<long>(n)), residual)
      .x;
}
