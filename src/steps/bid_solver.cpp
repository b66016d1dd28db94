#include "steps/bid_solver.h"

#include <cmath>
#include <iomanip>

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
    // B y = c by back substitution on the upper bidiagonal. Every kept
    // alpha is positive, but a tiny one may still overflow the quotient;
    // an infinite y_i must not reach the next product.
    status = 0;
    for (std::uint32_t i = k; i-- > 0;) {
      const double rhs = i + 1 < k ? c[i] - beta[i + 1] * y[i + 1] : c[i];
      y[i] = quietDivide(rhs, alpha[i]);
      if (!std::isfinite(y[i])) {
        status = StepStatus::NonFinite;
        break;
      }
    }
  }
  if (status != 0) return status;
  x = matrixTransposeVectorProduct(V, y);
  if (!allFinite(x)) {
    x = 0.0;
    status = StepStatus::NonFinite;
  }
  return status;
}

void traceBidStep(std::uint32_t i, double alpha, double normB, double beta, double abstol,
                  double orthU, double orthV) {
  std::cerr << "BID " << i << std::setw(24) << alpha << std::setw(24) << quietDivide(alpha, normB)
            << std::setw(24) << beta << std::setw(24) << abstol << std::setw(24) << orthU
            << std::setw(24) << orthV << "                 \r" << std::flush;
}
