// SD5: eigen-filtered CG on the normal equations J^T J d = -J^T r, the
// "cghc" solve of the linear-solver front end over the product closures.
// Matrix-free only: the dispatch gives a dense Jacobian no SD5 direction.

#include "leastsq/search_directions.h"

// Built with the matrix-free step solvers.
Direction filteredKrylovDirectionMatrixFree(TrovikOptimizationTask&, const std::valarray<double>&,
                                            std::valarray<double>&) {
  return Direction();
}
