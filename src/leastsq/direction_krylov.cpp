// SD5: eigen-filtered CG on the normal equations
//
//     J^T J d = -J^T r,
//
// the "cghc" solve of the linear-solver front end: a block power iteration
// finds the dominant eigenpairs of J^T J ("cghc_dimk" of them, to
// "cghc_evtol"), a filter shrinks those directions, and CG runs on the
// filtered operator, whose spread of eigenvalues is the smaller one of the
// rest. Watched by a fresh stop record and a history checker. Matrix-free
// only: the dispatch gives a dense Jacobian no SD5 direction.

#include "dense/random.h"
#include "leastsq/host_products.h"
#include "leastsq/linear_solve_frame.h"
#include "leastsq/search_directions.h"
#include "linear/inner_solve_stats.h"
#include "linear/linsolve_matfree.h"
#include "linear/operator_adaptors.h"
#include "options/opts.h"

Direction filteredKrylovDirectionMatrixFree(TrovikOptimizationTask& task,
                                            const std::valarray<double>& x,
                                            std::valarray<double>& r) {
  resetInnerSolves();
  const std::size_t n = x.size();
  LinearSolveFrame frame;
  OptionMap settings = frame.solverOptions();
  settings["dim_k"] = opts.cghc_dimk;
  settings["cghc.maxit"] = opts.cghc_maxit;
  settings["cghc.relax"] = opts.cghc_relax;
  settings["cghc.orthtol"] = opts.cghc_orthtol;
  settings["cghc.evtol"] = opts.cghc_evtol;
  settings["cghc.skipreltol"] = opts.cghc_skipreltol;

  const HostProducts products(task, x, r);
  const NormalEquations<JProduct, JTProduct> normal(products.J, products.JT);
  // J^T J maps n entries to n.
  const SizedVectorFunction<NormalEquations<JProduct, JTProduct>> A(
      map_union(dimensions(n, n), settings), normal);
  const IdentityProduct same;
  const SizedVectorFunction<IdentityProduct> identity(dimensions(n, n), same);
  const Direction b = products.JT(Direction(-r));
  Direction residual;
  return Zelk::linsolve_matfree("cghc", A, A, identity, b, randvec(static_cast<long>(n)), residual)
      .x;
}
