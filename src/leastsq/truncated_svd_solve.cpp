#include "leastsq/truncated_svd_solve.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"

namespace {

// s_(k-1) / s_0; 0 for k = 0.
double rcond(const std::valarray<double>& s, std::size_t k) {
  return k == 0 ? 0.0 : quietDivide(s[k - 1], s[0]);
}

}  // namespace

std::valarray<double> truncatedSVDSolve(const DecomposedGeneralMatrix& svd, std::size_t minRank,
                                        const std::valarray<double>& b, double tol) {
  const std::valarray<double>& s = svd.s;
  const std::size_t k = s.size();
  std::valarray<double> out(0.0, svd.VT.cols);
  if (k == 0 || svd.lapackInfo != 0 || !std::isfinite(s[0]) || s[0] == 0.0) return out;

  unsigned rank = 0;
  std::valarray<double> g = svd.idiag(tol, rank, true, false);
  minRank = std::min(minRank, k);
  if (rank < minRank) {
    const double cut = quietly([&] { return tol * s[0]; });
    for (std::size_t i = 0; i < minRank; ++i)
      g[i] = quietGreater(cut, std::fabs(s[i])) ? s[i] : quietDivide(1.0, s[i]);
  }
  std::cerr << "Rank: " << rank << " rcond " << rcond(s, rank) << "\n"
            << "Min Rank: " << minRank << " rcond " << rcond(s, minRank) << "\n";

  // out = (V^T)^T (g .* U^T b): inverted values near the overflow threshold
  // give their IEEE products, no trap.
  const QuietFpScope quiet;
  std::valarray<double> y = matrixTransposeVectorProduct(svd.U, b);
  for (std::size_t i = 0; i < y.size(); ++i) y[i] *= i < g.size() ? g[i] : 0.0;
  return matrixTransposeVectorProduct(svd.VT, y);
}
