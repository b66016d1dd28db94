// SD3 and SD4 on the eigen decomposition H = U diag(lambda) U^T: Newton
// steps on a positive-definite modification of H.
//
// With lambda_min the smallest eigenvalue, a positive-definite H is kept as
// it is (the plain Newton step). Otherwise:
//   "lv"    (SD3)  lambda_i <- lambda_i - lambda_min + b_min: the whole
//                  spectrum lifted so that its smallest value is b_min;
//   "corr"  (SD4)  only the k values lambda_i <= 0 change, to
//                  b_j = b_min + j (b_max - b_min) / (k - 1), j = k-1 .. 0
//                  in index order (b_max alone when k = 1): directions of
//                  negative curvature get tiny positive ones, the others
//                  keep theirs.
// b_min = lvbias_min, b_max = lvbias_max. The modified decomposition is
// U diag(lambda') U^T (signs all +1, VT = U^T), and the direction is
// -M g with M its regularised inverse (newton_direction.cpp).
// task.hessianShift records the lift: min(lambda') - lambda_min.

#include <cmath>
#include <string>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "minimize/search_directions.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

Vec eigenvaluesOf(const DecomposedSymMatrix_syevd& hess) {
  return quietly([&] { return Vec(hess.s * hess.sign); });
}

}  // namespace

void liftEigenvalues(OptimizationTask& task, const DecomposedSymMatrix_syevd& hess,
                     DecomposedGeneralMatrix& target, const std::string& mode) {
  const Vec lambda = eigenvaluesOf(hess);
  const double lambdaMin = quietMinEntry(lambda);
  target = hess;
  if (quietGreater(lambdaMin, 0.0)) return;

  const double bMin = opts.lvbias_min, bMax = opts.lvbias_max;
  Vec lifted = lambda;
  {
    const QuietFpScope quiet;
    if (mode == "lv") {
      lifted -= lambdaMin;
      lifted += bMin;
    } else {
      std::size_t k = 0;
      for (double v : lambda) k += !quietGreater(v, 0.0);
      // The first non-positive value (in index order) gets b_max, the last b_min.
      std::size_t j = k;
      for (double& v : lifted)
        if (!quietGreater(v, 0.0)) {
          --j;
          v = k == 1 ? bMax : bMin + static_cast<double>(j) * (bMax - bMin) / static_cast<double>(k - 1);
        }
    }
    task.hessianShift = quietMinEntry(lifted) - lambdaMin;
  }
  target.s = lifted;
  target.sign = Vec(1.0, lifted.size());
  target.VT = do_transpose(hess.U);
}

std::valarray<double> liftedNewtonDirection(OptimizationTask& task, SearchDir kind, const Vec& g,
                                            const DecomposedSymMatrix_syevd& hess,
                                            double& lambda) {
  DecomposedGeneralMatrix modified;
  liftEigenvalues(task, hess, modified, kind == SearchDir::SD3 ? "lv" : "corr");
  Vec d = regularisedNewtonStep(modified, g);
  if (kind == SearchDir::SD3) lambda = state.lowestCurvature() = quietMinEntry(eigenvaluesOf(hess));
  return d;
}
