#include "steps/bid_solver.h"

#include <cmath>
#include <iomanip>

#include "dense/printers.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"

std::int32_t BIDSolInfo::solve(const std::valarray<double>& b, std::valarray<double>& x) {
  requireSameLength(b.size(), rows, "BIDSolInfo: the right-hand side needs one entry per row");
  x.resize(cols, 0.0);
  const std::uint32_t k = steps;
  if (k == 0) return status;
  if (!allFinite(b)) return status = StepStatus::NonFinite;

  const std::valarray<double> c = matrixVectorProduct(U, b);
  std::valarray<double> y(k);
  {
    Timer timer("br_");
    status = solveUpperBidiagonal(alpha, beta, c, k, y) ? 0 : StepStatus::NonFinite;
  }
  if (status != 0) return status;
  x = matrixTransposeVectorProduct(V, y);
  if (!allFinite(x)) {
    x = 0.0;
    status = StepStatus::NonFinite;
  }
  return status;
}

bool solveUpperBidiagonal(const std::valarray<double>& d, const std::valarray<double>& s,
                          const std::valarray<double>& c, std::size_t k,
                          std::valarray<double>& y) {
  // s_(i+1) y_(i+1) may overflow for a huge y_(i+1): the quotient is then
  // not finite, which ends the solve, without a trap.
  const QuietFpScope quiet;
  for (std::size_t i = k; i-- > 0;) {
    const double rhs = i + 1 < k ? c[i] - s[i + 1] * y[i + 1] : c[i];
    y[i] = quietDivide(rhs, d[i]);
    if (!std::isfinite(y[i])) return false;
  }
  return true;
}

void traceBidStep(std::uint32_t i, double alpha, double normB, double beta, double abstol,
                  double orthU, double orthV) {
  printOnce(std::cerr, [&](std::ostream& out) {
    out << "BID " << i << std::setw(24) << alpha << std::setw(24) << quietDivide(alpha, normB)
        << std::setw(24) << beta << std::setw(24) << abstol << std::setw(24) << orthU
        << std::setw(24) << orthV << "                 \r";
  }) << std::flush;
}
