#include "leastsq/objective_noise.h"

#include <cfloat>
#include <cmath>

#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr double kRelativeStep = 4.0 * DBL_EPSILON;

}  // namespace

double objectiveNoise(TrovikOptimizationTask& task, const Vec& x, const Vec& r,
                      const MatrixTemplate<double>& J) {
  const std::size_t m = r.size();
  if (m == 0 || !allFinite(r)) return 0.0;
  Vec moved = quietly([&] { return Vec(x * (1.0 + kRelativeStep)); });
  if (!allFinite(moved)) return 0.0;
  const Vec h = quietly([&] { return Vec(moved - x); });
  if (allZero(h)) return 0.0;
  Vec predicted(0.0, m);
  if (J.elements.size() != 0) {
    predicted = matrixVectorProduct(J, h);  // BLAS, quietly
  } else {
    Vec scratch = r;
    task.JVeval(x, scratch, h, predicted);
  }
  Vec rMoved(0.0, m);
  task.Feval(moved, rMoved);
  if (!allFinite(predicted) || !allFinite(rMoved)) return 0.0;
  return quietly([&] {
    const Vec e = (rMoved - r - predicted) / std::sqrt(2.0);
    const double size = normfro(e);
    const int ussum = opts.ussum;
    if (ussum == 2) return size;
    if (ussum == 3) return size / static_cast<double>(m);
    const double scale = ussum == 1 ? 1000.0 / static_cast<double>(m) : 1.0;
    const double norm = normfro(r);
    if (norm == 0.0) return scale * size;
    const double firstOrder = normfro(Vec(r * e)) / norm;
    return scale * std::fmin(size, firstOrder + size * size / norm);
  });
}
