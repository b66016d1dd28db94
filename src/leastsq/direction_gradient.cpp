// SD0: the fixed-weight gradient direction
//
//     d = J^T u,   u = (-1, ..., -1),
//
// the negated column sums of J: the steepest descent of sum_i r_i, whose
// gradient is J^T 1. It needs no solve, so it is the direction of a run
// that has only the host's products: there it costs one vector-Jacobian
// call with u as a 1 x m block.

#include "leastsq/search_directions.h"

Direction gradientDirection(const MatrixTemplate<double>& J) {
  // The host's entries may sum past the largest double: BLAS runs quietly
  // and gives the IEEE sums (the dispatch drops a direction that is not
  // finite).
  return matrixTransposeVectorProduct(J, Direction(-1.0, J.rows));
}

Direction gradientDirectionMatrixFree(TrovikOptimizationTask& task, const std::valarray<double>& x,
                                      std::valarray<double>& r) {
  const std::size_t m = r.size(), n = x.size();
  const MatrixTemplate<double> u(1, m, Direction(-1.0, m));
  MatrixTemplate<double> d(1, n);
  task.VJevalBlock(x, r, u, d);
  return d.elements;
}
