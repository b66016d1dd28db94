// The "haircut" CG methods of the matrix-free linear solve, for symmetric A
// with a few dominant eigenvalues:
//   "cghc", "cghaircut"   CG on A F, where F shrinks the directions of the
//                         dominant eigenpairs that a block power iteration
//                         finds; x = F y. Watched by the control record and
//                         the history checker.
//   "cghc2", "cghaircut2" LiftedHaircutCGSolver: the dominant eigenvalues cut
//                         to the level of the next one, the operator lifted
//                         by "minvrelshift" times that level.

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <valarray>
#include <vector>

#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/printers.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"
#include "eigen/eigen_block_iter.h"
#include "linear/cg_settings.h"
#include "linear/lifted_haircut_cg_solver.h"
#include "linear/linsolve_method.h"
#include "linear/operator_adaptors.h"
#include "linear/projection_filters.h"
#include "options/opts.h"

namespace {

using Zelk::LinsolveAnswer;
using Zelk::LinsolveContext;

// How many leading block vectors the filter may use: the scan stops at the
// first vector that is not orthogonal (within orthtol) to those before it,
// or whose Rayleigh quotient or entries are unusable (not finite, or a zero
// quotient the weights would divide by). One vector alone is not used.
std::size_t acceptedCount(const EigenBlockIter& eig, const MatrixTemplate<double>& G,
                          double orthtol) {
  const std::size_t k = static_cast<std::size_t>(eig.k);
  if (k == 1) return 0;
  std::size_t accepted = k;
  for (std::size_t i = 1; i < k && accepted == k; ++i) {
    double largest = 0.0;
    for (std::size_t j = 0; j < i; ++j) largest = quietMax(largest, std::fabs(G(j, i)));
    // A NaN inner product is no evidence of orthogonality either.
    if (!quietLessEqual(largest, orthtol)) accepted = i;
  }
  for (std::size_t i = 0; i < accepted; ++i) {
    const double lambda = eig.eigenvalues[i];
    if (!std::isfinite(lambda) || lambda == 0.0 || !allFinite(eig.block[i])) {
      accepted = i;
      break;
    }
  }
  return accepted == 1 ? 0 : accepted;
}

LinsolveAnswer solveHaircut(const LinsolveContext& c) {
  const std::size_t n = c.x0.size();
  long k = c.A.geti("dim_k", 10);
  // The defaults below divide by k, and a block of no vectors cuts nothing.
  if (k < 1) throw std::invalid_argument("cghc: \"dim_k\" must be at least 1");
  // No more eigen-directions than unknowns.
  k = std::min(k, static_cast<long>(n));
  const long perVector = std::max(k, 1L);
  const long cgmaxit = opts.cgmaxit > LONG_MAX / 2 ? LONG_MAX : 2 * opts.cgmaxit;
  const long maxitE = c.A.geti("cghc.maxit", cgmaxit / perVector);
  const long relax = c.A.geti("cghc.relax", maxitE / perVector);
  const double orthtol = c.A.getf("cghc.orthtol", 1e-5);
  const double evtol = c.A.getf("cghc.evtol", 1e-12);
  const double skipreltol = c.A.getf("cghc.skipreltol", 0.1);

  const SizedVectorFunction<SizedVectorOperator> E(
      map_union(c.A.options, {{"k", k},
                              {"maxit", maxitE},
                              {"tol", evtol},
                              {"skipreltol", skipreltol},
                              {"relax", relax}}),
      c.A);
  EigenBlockIter eig(E, {});
  eig.iterate({{"findall", 1L}});

  const std::size_t kk = static_cast<std::size_t>(k);
  MatrixTemplate<double> V(n, kk);
  for (std::size_t i = 0; i < kk; ++i) {
    requireSameLength(eig.block[i].size(), n, "cghc: eigen block length differs from x0");
    for (std::size_t r = 0; r < n; ++r) V(r, i) = eig.block[i][r];
  }
  const MatrixTemplate<double> G = transposed(V) * V;

  const std::size_t accepted = acceptedCount(eig, G, orthtol);
  const MatrixTemplate<double> W(n, accepted, V[columns{0, accepted}]);
  std::valarray<double> weights(accepted);
  if (accepted > 0) {
    // Eigenvalues of an operator fed huge products may be 0, infinite or
    // NaN: the weights then carry NaN into the solve, which reports it.
    const std::valarray<double> lambda = eig.eigenvalues[std::slice(0, accepted, 1)];
    quietly([&] {
      const double smallest = lambda.min();
      for (std::size_t i = 0; i < accepted; ++i) weights[i] = 1.0 - (0.5 * smallest) / lambda[i];
    });
  }

  const FilterBase F(W, weights);
  const Chained<FilterBase, SizedVectorFunction<SizedVectorOperator>> K(F, E);
  const CGSettings settings = readCGSettings(c.A);
  auto solver = makeCGSolver(settings, static_cast<std::int64_t>(n), K);
  const std::valarray<double> y = solver.solve(c.b, c.x0, c.control, c.histcheck);

  LinsolveAnswer a;
  a.x = F.filter(y);
  a.status = static_cast<long>(solver.flags);
  a.it = static_cast<long>(solver.it);
  a.residual = solver.residual;
  a.solverPolledControl = true;
  a.closingTol = settings.tol;
  return a;
}

LinsolveAnswer solveHaircut2(const LinsolveContext& c) {
  const long k = c.A.geti("dim_k", 10);
  const double tol = getf_required(c.A, "tol");
  const double minvrelshift = static_cast<double>(geti_required(c.A, "minvrelshift"));
  const CGSettings s = readCGSettings(c.A);
  LiftedHaircutCGSolver<const SizedVectorOperator> solver(
      "LiftedCGSolver2", static_cast<std::int64_t>(c.x0.size()), tol, 1e-120, 1e14, s.maxit, c.A,
      s.cgmode, s.cgrec, s.cgreset, minvrelshift, k);
  std::cerr << "comp_linsolve:659: LiftedHaircutCGSolver: ";
  solver.print(std::cerr) << "\n";
  std::cerr << "comp_linsolve:660: Start LiftedHaircutCGSolver with x0="
            << ShowVector<double>(c.x0) << "\n";

  LinsolveAnswer a;
  a.x = solver.solve(c.b, c.x0);
  a.status = static_cast<long>(solver.flags);
  a.it = static_cast<long>(solver.it);
  a.residual = solver.residual;
  a.checkPrefix = "comp_linsolve:668: ";
  a.checkTol = tol;
  a.closingTol = tol;
  return a;
}

const Zelk::LinsolveRegistration haircutMethod({"cghc", "cghaircut"},
                                               {solveHaircut, Zelk::NeedsA, true});
const Zelk::LinsolveRegistration haircut2Method({"cghc2", "cghaircut2"},
                                                {solveHaircut2, Zelk::NeedsA, true});

}  // namespace
