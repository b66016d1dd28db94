#include "driver/noise_estimate.h"

#include <algorithm>
#include <cmath>

#include "dense/fp_class.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"

namespace {

using Vec = std::valarray<double>;
using Verdict = NoiseLevel::Verdict;

constexpr int kHalfLine = 3;              // points s = -3 .. 3
constexpr double kFirstSpacing = 1e-6;    // of each variable's size
constexpr double kSpacingFactor = 100.0;  // between tries
constexpr int kAttempts = 5;              // lines at most
constexpr double kDeepestShrink = 1e-8;   // the most one try narrows the spacing by
constexpr double kAgreement = 4.0;        // three levels within this factor
constexpr double kFirstDigit = 0.5;       // values this far apart differ in their first digit
constexpr double kFarBelow = 0.1;         // noise at most this share of the line's change
constexpr std::uint64_t kDirectionSeed = 20111;  // the same direction at every call

bool stridedFinite(const double* values, std::size_t count, std::size_t stride) {
  for (std::size_t i = 0; i < count; ++i)
    if (!isFiniteBits(values[i * stride])) return false;
  return true;
}

// The table of finite values (inside the quiet scope of the caller: the
// differences of huge values may overflow).
NoiseLevel differenceTable(const double* values, std::size_t count, std::size_t stride,
                           NoiseScale scale) {
  std::vector<double> d(count);
  for (std::size_t i = 0; i < count; ++i) d[i] = values[i * stride];
  const auto [low, high] = std::minmax_element(d.begin(), d.end());
  const double lowest = *low, highest = *high, span = highest - lowest;
  if (span == 0.0) return {Verdict::Constant, 0.0};
  const double biggest = std::fmax(std::fabs(lowest), std::fabs(highest));
  if (scale == NoiseScale::WithValue && span > kFirstDigit * biggest)
    return {Verdict::SpacingTooLarge, 0.0,
            std::sqrt(0.5 * kFirstDigit * std::fabs(d[count / 2]) / span)};
  std::vector<double> level(count, 0.0);
  std::vector<bool> signChange(count, false);
  double gamma = 1.0;
  for (std::size_t j = 1; j < count; ++j) {
    const std::size_t length = count - j;
    std::size_t zeros = 0;
    double sumSquares = 0.0, least = 0.0, most = 0.0;
    for (std::size_t i = 0; i < length; ++i) {
      d[i] = d[i + 1] - d[i];
      zeros += d[i] == 0.0;
      sumSquares += d[i] * d[i];
      least = std::fmin(least, d[i]);
      most = std::fmax(most, d[i]);
    }
    if (j == 1 && 2 * zeros >= count) return {Verdict::SpacingTooSmall, 0.0};
    gamma *= 0.5 * static_cast<double>(j) / static_cast<double>(2 * j - 1);
    level[j] = std::sqrt(gamma * sumSquares / static_cast<double>(length));
    signChange[j] = least < 0.0 && most > 0.0;
  }
  for (std::size_t j = 1; j + 2 < count; ++j) {
    const double smallest = std::min({level[j], level[j + 1], level[j + 2]});
    const double largest = std::max({level[j], level[j + 1], level[j + 2]});
    if (!signChange[j] || !(largest <= kAgreement * smallest)) continue;
    // Noise that the whole line hardly rises above may be the function's
    // own roughness as much as rounding: only a line that shows the smooth
    // part far above it measures the noise.
    if (!(level[j] <= kFarBelow * span)) return {Verdict::SpacingTooSmall, 0.0};
    return {Verdict::Measured, level[j]};
  }
  return {Verdict::SpacingTooLarge, 0.0};
}

// The probe's direction: each variable's size times a fixed pseudo-random
// factor of either sign and a magnitude in [0.5, 1).
Vec probeDirection(const Vec& x) {
  const std::size_t n = x.size();
  // x is the host's: its squares may overflow.
  const double typical = quietly([&] {
    double sumSquares = 0.0;
    std::size_t nonzero = 0;
    for (double v : x)
      if (v != 0.0) {
        sumSquares += v * v;
        ++nonzero;
      }
    return nonzero > 0 ? std::sqrt(sumSquares / static_cast<double>(nonzero)) : 1.0;
  });
  Vec draws(2 * n);
  inversive_fill(draws, kDirectionSeed, inversive_modulus());
  Vec p(n);
  for (std::size_t j = 0; j < n; ++j) {
    const double size = x[j] != 0.0 ? std::fabs(x[j]) : typical;
    p[j] = (draws[2 * j] < 0.5 ? -1.0 : 1.0) * (0.5 + 0.5 * draws[2 * j + 1]) * size;
  }
  return p;
}

}  // namespace

NoiseLevel noiseOfValues(const double* values, std::size_t count, std::size_t stride,
                         NoiseScale scale) {
  if (count < 2 * kHalfLine + 1 || !stridedFinite(values, count, stride))
    return {Verdict::SpacingTooLarge, 0.0};
  return quietly([&] { return differenceTable(values, count, stride, scale); });
}

bool MeasuredNoise::anyMeasured() const {
  return std::find(measured.begin(), measured.end(), true) != measured.end();
}

MeasuredNoise measureNoise(const Vec& x, const Vec& valuesAtX, NoiseScale scale,
                           const NoiseProbeEvaluation& evaluate) {
  const std::size_t q = valuesAtX.size(), points = 2 * kHalfLine + 1;
  MeasuredNoise out{Vec(0.0, q), std::vector<bool>(q, false), 0};
  if (q == 0 || x.size() == 0 || !allFiniteBits(valuesAtX) || !allFiniteBits(x)) return out;
  const Vec p = probeDirection(x);
  // values[s * q + i]: component i at the s-th point of the line.
  std::vector<double> values(points * q);
  Vec point(x.size()), atPoint(q);
  // The spacings known to be too small and too large: the next try lies
  // between them, or beyond the one that is known.
  double spacing = kFirstSpacing, tooSmall = 0.0, tooLarge = 0.0;
  // Components that stayed the same at every spacing tried, up to the end
  // of the measurement, have no noise.
  std::vector<bool> constant(q, true);
  bool tried = false;
  const auto finish = [&]() -> MeasuredNoise {
    for (std::size_t i = 0; i < q && tried; ++i)
      if (!out.measured[i] && constant[i]) out.measured[i] = true;
    return out;
  };
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    for (std::size_t s = 0; s < points; ++s) {
      const double step = spacing * (static_cast<double>(s) - kHalfLine);
      if (s == kHalfLine) {
        std::copy(&valuesAtX[0], &valuesAtX[0] + q, &values[s * q]);
        continue;
      }
      // x is the host's: near the largest double the line may overflow.
      point = quietly([&] { return Vec(x + step * p); });
      if (!allFiniteBits(point)) return finish();
      ++out.evaluations;
      if (!evaluate(point, atPoint) || atPoint.size() != q || !allFiniteBits(atPoint))
        return finish();
      std::copy(&atPoint[0], &atPoint[0] + q, &values[s * q]);
    }
    tried = true;
    std::size_t largerAsked = 0, smallerAsked = 0;
    double shrink = 1.0;
    for (std::size_t i = 0; i < q; ++i) {
      if (out.measured[i]) continue;
      const NoiseLevel level = noiseOfValues(&values[i], points, q, scale);
      if (level.verdict == Verdict::Measured) {
        out.measured[i] = true;
        out.level[i] = level.level;
      }
      constant[i] = constant[i] && level.verdict == Verdict::Constant;
      largerAsked += level.verdict == Verdict::SpacingTooSmall || level.verdict == Verdict::Constant;
      smallerAsked += level.verdict == Verdict::SpacingTooLarge;
      if (level.shrink > 0.0) shrink = std::fmin(shrink, level.shrink);
    }
    if (largerAsked == 0 && smallerAsked == 0) break;
    if (largerAsked >= smallerAsked)
      tooSmall = std::fmax(tooSmall, spacing);
    else
      tooLarge = tooLarge == 0.0 ? spacing : std::fmin(tooLarge, spacing);
    if (tooSmall > 0.0 && tooLarge > 0.0)
      spacing = std::sqrt(tooSmall * tooLarge);
    else if (tooLarge > 0.0)
      spacing = tooLarge * (shrink < 1.0 ? std::fmax(shrink, kDeepestShrink) : 1.0 / kSpacingFactor);
    else
      spacing = tooSmall * kSpacingFactor;
  }
  return finish();
}
