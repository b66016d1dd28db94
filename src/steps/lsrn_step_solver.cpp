#include "steps/lsrn_step_solver.h"

#include <cblas.h>

#include "dense/blas_int.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"

void addDampingSketch(MatrixTemplate<double>& S, const std::valarray<double>& d) {
  requireSameLength(d.size(), S.cols, "addDampingSketch: the damping needs one entry per column");
  if (S.cols == 0) return;
  const int n = to_blas_int(S.cols, "addDampingSketch");
  std::valarray<double> u(S.cols);
  for (std::size_t i = 0; i < S.rows; ++i) {
    randfill(u);
    u *= d;
    quietly([&] { cblas_daxpy(n, 0.5, &u[0], 1, &S.elements[i * S.cols], 1); });
  }
}
