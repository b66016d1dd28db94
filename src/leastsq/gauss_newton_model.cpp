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

// ||r|| - ||r - p|| for the part p of r that the model's step removes,
// times the objective's scale, without the cancellation:
// ||p||^2 / (||r|| + ||r - p||).
double decreaseByRemoving(const std::valarray<double>& r, const std::valarray<double>& removed,
                          double scale) {
  const double norm = normfro(r), removedNorm = normfro(removed);
  const double rest = normfro(std::valarray<double>(r - removed));
  return scale * removedNorm * removedNorm / (norm + rest);
}

// The objectives of "ussum" that are norms of r, with their scale; false
// for the sums.
bool normObjective(std::size_t m, double& scale) {
  const int ussum = opts.ussum;
  scale = ussum == 1 ? 1000.0 / static_cast<double>(m) : 1.0;
  return ussum != 2 && ussum != 3;
}

}  // namespace

double gaussNewtonDecrease(const MatrixTemplate<double>& J, const std::valarray<double>& r) {
  constexpr double none = std::numeric_limits<double>::quiet_NaN();
  double scale = 1.0;
  if (!normObjective(r.size(), scale) || J.elements.size() == 0 || J.rows != r.size()) return none;
  // LAPACK is not asked to factor what it cannot: a NaN or infinity in J or r.
  if (!allFiniteBits(J.elements) || !allFiniteBits(r)) return none;
  const DecomposedGeneralMatrix svd(J, SvdShape::thin);
  if (svd.lapackInfo != 0 || svd.s.size() == 0) return none;
  // r and J are the host's: their products run quietly.
  return quietly([&] {
    std::valarray<double> projected(0.0, r.size());
    const double largest = svd.s[0];
    for (std::size_t k = 0; k < svd.s.size() && svd.s[k] > kNullRange * largest; ++k) {
      double component = 0.0;
      for (std::size_t i = 0; i < r.size(); ++i) component += svd.U(i, k) * r[i];
      for (std::size_t i = 0; i < r.size(); ++i) projected[i] += component * svd.U(i, k);
    }
    return decreaseByRemoving(r, projected, scale);
  });
}

double gaussNewtonLineDecrease(const std::valarray<double>& r, const std::valarray<double>& q) {
  constexpr double none = std::numeric_limits<double>::quiet_NaN();
  double scale = 1.0;
  if (!normObjective(r.size(), scale) || q.size() != r.size()) return none;
  if (!allFiniteBits(q) || !allFiniteBits(r)) return none;
  return quietly([&] {
    // (r.q) / (q.q) with both taken relative to ||q||, so that neither overflows first.
    const double qNorm = normfro(q);
    if (qNorm == 0.0) return none;
    const std::valarray<double> unit = q / qNorm;
    double along = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) along += r[i] * unit[i];
    return decreaseByRemoving(r, std::valarray<double>(along * unit), scale);
  });
}
