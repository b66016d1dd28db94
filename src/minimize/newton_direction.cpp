// SD2: the Newton direction, H d = -g.
//
// With the eigen decomposition H = U diag(lambda) U^T of the iteration:
//   d = -M g,  M = V diag(w) U^T,  w_i = 1 / s_i for the values kept at the
// relative tolerance resolTolerance (w_i = s_i for the others), the
// regularised inverse of the decomposition.
//
// Matrix-free, through the Hessian-matrix product: preconditioned CG (with
// the identity as preconditioner) on H d = -g to the relative tolerance tau
// from a random start in [-0.5, 0.5)^n. A zero gradient is its own answer,
// d = 0, without a solve.

#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "dense/vector_kernels.h"
#include "driver/driver_errors.h"
#include "linear/cg_pre_solver.h"
#include "minimize/search_directions.h"
#include "options/opts.h"

using Vec = std::valarray<double>;

std::valarray<double> regularisedNewtonStep(const DecomposedGeneralMatrix& decomposition,
                                            const Vec& g) {
  // A nearly singular spectrum gives weights near the largest double, whose
  // products may overflow: the direction then holds infinities, which the
  // line search refuses, rather than a trap.
  return quietly([&] {
    const MatrixTemplate<double> M = decomposition.resol(opts.resolTolerance);
    return matrixVectorProduct(M, Vec(-g));
  });
}

std::valarray<double> newtonDirection(OptimizationTask& task, const Vec& x, const Vec& g,
                                      double tau, const DecomposedSymMatrix_syevd* hess) {
  const std::size_t n = g.size();
  if (hess != nullptr) return regularisedNewtonStep(*hess, g);
  if (task.hessianProduct == nullptr) {
    driverStop(task.host, "the NR method is not available", -1);
    return Vec(0.0, n);
  }
  if (allZero(g)) return Vec(0.0, n);

  Vec w(0.0, n);
  const HessianBlock H{&task, &x, &w};
  auto product = [&H, n](const Vec& v) { return H(MatrixTemplate<double>(n, 1, v)).elements; };
  auto identity = [](const Vec& r) { return r; };
  CGPreSolver solver(product, identity, static_cast<std::int64_t>(n), tau, 1e-120, 1e14,
                     opts.cgmaxit, opts.cgmode, opts.cgrec, opts.cgreset);
  const Vec start = randvec(static_cast<long>(n)) - 0.5;
  return solver.solve(Vec(-g), start, nullptr);
}
