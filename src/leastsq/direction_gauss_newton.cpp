// SD2: the Gauss-Newton direction
//
//     d = argmin ||J d + r||_2,
//
// the step to the minimum of the residuals' linear model. Dense: the QR
// least-squares solve of LAPACK's dgels, for m >= n; a wide J, or a J that
// dgels finds rank-deficient (an exactly zero diagonal entry of R), gives
// no direction.
//
// Matrix-free: conjugate gradients on the shifted normal equations
//
//     (J^T J + sigma I) d = -J^T r,   sigma = lambda_max "normalregshiftrel",
//
// lambda_max the largest eigenvalue of J^T J by power iteration (tol 1e-12,
// at most 1000 steps), so that the shift scales with J. Each CG step costs
// one J v and one J^T w.

#include <lapacke.h>

#include <iostream>

#include "dense/blas_int.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "leastsq/host_products.h"
#include "leastsq/search_directions.h"
#include "linear/cg_solver.h"
#include "linear/inner_solve_stats.h"
#include "linear/operator_adaptors.h"
#include "linear/power_steps.h"
#include "options/global_state.h"
#include "options/opts.h"

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

Direction gaussNewtonDirectionMatrixFree(TrovikOptimizationTask& task,
                                         const std::valarray<double>& x, std::valarray<double>& r) {
  resetInnerSolves();
  const long n = static_cast<long>(x.size());
  const HostProducts products(task, x, r);
  const NormalEquations<JProduct, JTProduct> normal(products.J, products.JT);
  const double lambda = maxEigenPair(normal, n, Direction(), 1e-12, 1000).eigenvalue;
  state.maxEigenEstimate() = lambda;
  const double shift = quietly([&] { return lambda * opts.normalregshiftrel; });
  std::cerr << "Eval max eig: " << lambda << " => " << shift << "\n";

  const Direction b = products.JT(Direction(-r));
  const Shifted<NormalEquations<JProduct, JTProduct>> shifted(normal, shift);
  CGSolver<Shifted<NormalEquations<JProduct, JTProduct>>> cg("CGSolver", n, opts.cgtol, 1e-120,
                                                             1e14, opts.cgmaxit, 20, shifted,
                                                             opts.cgmode, opts.cgrec, opts.cgreset);
  return cg.solve(b, randvec(n), nullptr, nullptr);
}
