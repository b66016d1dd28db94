#include "leastsq/gauss_newton_model.h"

#include <cmath>
#include <limits>

#include "dense/decomposed_general.h"
#include "dense/fp_class.h"
#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "options/opts.h"

namespace {

constexpr double kNullRange = 1e-10;  // relative singular value of a direction J leaves out

}  // namespace

double gaussNewtonDecrease(const MatrixTemplate<double>& J, const std::valarray<double>& r) {
  constexpr double none = std::numeric_limits<double>::quiet_NaN();
  const int ussum = opts.ussum;
  if (ussum == 2 || ussum == 3 || J.elements.size() == 0 || J.rows != r.size()) return none;
  // LAPACK is not asked to factor what it cannot: a NaN or infinity in J or r.
  if (!allFiniteBits(J.elements) || !allFiniteBits(r)) return none;
  const DecomposedGeneralMatrix svd(J, SvdShape::thin);
  if (svd.lapackInfo != 0 || svd.s.size() == 0) return none;
  const double scale = ussum == 1 ? 1000.0 / static_cast<double>(r.size()) : 1.0;
  // r and J are the host's: their products run quietly.
  return quietly([&] {
    std::valarray<double> projected(0.0, r.size());
    const double largest = svd.s[0];
    for (std::size_t k = 0; k < svd.s.size() && svd.s[k] > kNullRange * largest; ++k) {
      double component = 0.0;
      for (std::size_t i = 0; i < r.size(); ++i) component += svd.U(i, k) * r[i];
      for (std::size_t i = 0; i < r.size(); ++i) projected[i] += component * svd.U(i, k);
    }
    const double norm = normfro(r), projectedNorm = normfro(projected);
    const double rest = normfro(std::valarray<double>(r - projected));
    // ||r|| - ||r - P r|| without the cancellation: ||P r||^2 / (||r|| + ||r - P r||).
    return scale * projectedNorm * projectedNorm / (norm + rest);
  });
}
