#include "leastsq/stationarity.h"

#include <cfloat>
#include <cmath>

#include "dense/norms.h"
#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "leastsq/residual_noise.h"
#include "leastsq/residual_objective.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr double kMargin = 8.0;  // on the noise's part in the range
constexpr double kUnseen = 8.0;  // on the change of ||r|| by the noise

bool sumObjective() { return opts.ussum == 2 || opts.ussum == 3; }

}  // namespace

Vec stationarityTarget(const Vec& r) { return sumObjective() ? objectiveWeights(r) : r; }

RangeVerdict judgeRange(const GaussNewtonRange& range, const Vec& r, const ResidualNoise& noise) {
  RangeVerdict out;
  const Vec& sigma = noise.sigma;
  if (!range.known() || range.leverage.size() != r.size() || sigma.size() != r.size())
    return out;
  out.known = true;
  const Vec target = stationarityTarget(r);
  // r and sigma are the host's (or made from its values): quietly.
  quietly([&] {
    const double size = normfro(target), p = std::fmin(range.inRange, size);
    if (sumObjective()) {
      out.stationary = p <= kMargin * static_cast<double>(r.size()) * DBL_EPSILON * size;
      return;
    }
    double noiseInRange = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) noiseInRange += range.leverage[i] * sigma[i] * sigma[i];
    noiseInRange = std::sqrt(noiseInRange);
    // ||r|| - ||r - P r|| = p^2 / (||r|| + ||r - P r||), without the cancellation.
    const double rest = std::sqrt((size - p) * (size + p));
    const double gain = size == 0.0 ? 0.0 : p * p / (size + rest);
    out.stationary = p <= kMargin * noiseInRange ||
                     (noise.measured && gain <= kUnseen * normNoise(r, sigma));
    const double scale = opts.ussum == 1 ? 1000.0 / static_cast<double>(r.size()) : 1.0;
    out.promise = scale * gain;
  });
  return out;
}

bool crawled(const RangeVerdict& verdict, double enhancement) {
  constexpr double kFairShare = 0.01;
  return verdict.known && !verdict.stationary &&
         quietLess(enhancement, quietProduct(kFairShare, verdict.promise));
}
