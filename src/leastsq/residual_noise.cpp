#include "leastsq/residual_noise.h"

#include <cfloat>
#include <cmath>

#include "dense/fp_class.h"
#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "driver/noise_estimate.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr double kFloor = 0.25 * DBL_EPSILON;  // of |r_i|

}  // namespace

ResidualNoise residualRoundingFloor(const Vec& r) {
  return {quietly([&] { return Vec(kFloor * std::abs(r)); }), false};
}

ResidualNoise measureResidualNoise(TrovikOptimizationTask& task, const Vec& x, const Vec& r) {
  ResidualNoise out = residualRoundingFloor(r);
  const MeasuredNoise measured = measureNoise(x, r, NoiseScale::Fixed, [&task](const Vec& point, Vec& values) {
    task.Feval(point, values);
    return allFiniteBits(values);
  });
  for (std::size_t i = 0; i < r.size(); ++i)
    if (measured.measured[i]) out.sigma[i] = measured.level[i];
  out.measured = measured.anyMeasured();
  return out;
}

double normNoise(const Vec& r, const Vec& sigma) {
  return quietly([&] {
    const double size = normfro(sigma), norm = normfro(r);
    if (norm == 0.0) return size;
    const double firstOrder = normfro(Vec(r * sigma)) / norm;
    return std::fmin(size, firstOrder + size * size / norm);
  });
}

double objectiveNoise(const Vec& r, const Vec& sigma) {
  const int ussum = opts.ussum;
  const double m = static_cast<double>(r.size());
  if (ussum == 2) return normfro(sigma);
  if (ussum == 3) return normfro(sigma) / m;
  return (ussum == 1 ? 1000.0 / m : 1.0) * normNoise(r, sigma);
}
