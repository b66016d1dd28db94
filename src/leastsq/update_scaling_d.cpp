// The dense solver's update of the scaling diagonal: the column sums and
// norms of J, then the shared rule of steps/scaling_update.h.

#include <iostream>
#include <valarray>

#include "dense/norms.h"
#include "dense/printers.h"
#include "dense/quiet_scope.h"
#include "leastsq/trust_region.h"
#include "steps/lm_alg.h"
#include "steps/scaling_record.h"
#include "steps/scaling_update.h"

namespace {

// At most 80 entries as "(n){d_0 d_1 ... }", more as the summary line.
void printDiagonal(std::ostream& os, const std::valarray<double>& D) {
  if (D.size() > 80) {
    os << ShowVector<double>(D);
    return;
  }
  os << "(" << D.size() << "){";
  for (double d : D) os << d << " ";
  os << "}";
}

}  // namespace

void updateScalingD(const LMAlg& solver, ScalingRecord& scaling) {
  std::valarray<double>& D = scaling.D.diagonal;
  std::cerr << "Update D: " << normfro(D) << " ... ";
  const MatrixTemplate<double>& J = solver.jacobian();
  std::valarray<double> sums(J.cols), norms(J.cols), column(J.rows);
  for (std::size_t j = 0; j < J.cols; ++j) {
    for (std::size_t i = 0; i < J.rows; ++i) column[i] = J(i, j);
    // A sum of huge entries may overflow: its IEEE value (the floor turns a
    // D that is not finite into ones).
    sums[j] = quietly([&] { return column.sum(); });
    norms[j] = normfro(column);
  }
  const int zeros = updateScalingDiagonal(solver.dMode, sums, &norms, D);
  std::cerr << normfro(D) << ", " << zeros << " are zero, "
            << "max E = " << solver.maxE << ", D = ";
  printDiagonal(std::cerr, D);
  std::cerr << "\n";
}
