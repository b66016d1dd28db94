#include "driver/step_evidence.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"

namespace {

constexpr double kRoundingFloor = 4.0;  // rho >= 4 eps |f|
constexpr double kRealDecrease = 2.0;   // below f - 2 rho: not rounding
constexpr double kVisibleRise = 16.0;   // a rise of 16 rho shows its shape
constexpr double kModelUnseen = 2.0;    // a model decrease of 2 rho no trial could show
constexpr double kModelSlack = 1e4;     // one of 1e4 rho, where trials failed to find it
constexpr double kCrawlShare = 0.01;     // a step taking less of a model's promise crawled
constexpr double kFirstOrderFall = 4.0;  // sigma^2 / 2c above 4 rho is not rounding
constexpr double kSlack = 1000.0;       // ||g|| t <= 1000 rho

struct Rise {
  double s, change;  // distance from x, f(x_t) - f(x)
};

// f(x + s u) - f(x) = sigma s + c s^2 / 2 through two rises (0 < a.s < b.s):
// a first-order rise is sigma > 0 with c <= 0, or a fall of sigma^2 / 2c
// on the other side of x larger than the rounding allows.
bool firstOrder(const Rise& a, const Rise& b, double rho) {
  const double sigma =
      (a.change * b.s * b.s - b.change * a.s * a.s) / (a.s * b.s * (b.s - a.s));
  const double c = 2.0 * (b.change * a.s - a.change * b.s) / (a.s * b.s * (b.s - a.s));
  if (!(sigma > 0.0)) return false;
  return !(c > 0.0) || sigma * sigma / (2.0 * c) > kFirstOrderFall * rho;
}

}  // namespace

void StepEvidence::reset(double f) {
  f_ = f;
  noise_ = 0.0;
  model_ = ModelDecrease{};
  direction_ = 0;
  trials_.clear();
}

void StepEvidence::beginDirection() { ++direction_; }

void StepEvidence::add(double distance, double predicted, double value) {
  trials_.push_back({distance, predicted, value, direction_});
}

void StepEvidence::setModelDecrease(const ModelDecrease& model) { model_ = model; }

void StepEvidence::setNoise(double noise) { noise_ = noise; }

bool StepEvidence::objectiveNotFinite() const {
  if (!std::isfinite(f_)) return true;
  if (trials_.empty()) return false;
  for (const Trial& t : trials_)
    if (std::isfinite(t.value)) return false;
  return true;
}

double StepEvidence::distance(const std::valarray<double>& x, const std::valarray<double>& xt) {
  if (x.size() != xt.size()) return std::numeric_limits<double>::infinity();
  bool same = true;
  for (std::size_t i = 0; i < x.size() && same; ++i) same = x[i] == xt[i];
  if (same) return 0.0;
  return normfro(vectorDifference(xt, x));
}

// Runs inside the quiet scope of its callers: values and predictions are
// the host's.
double StepEvidence::rounding() const {
  const double invisible = DBL_EPSILON * std::fabs(f_);
  double rho = kRoundingFloor * quietMax(invisible, noise_);
  for (const Trial& t : trials_)
    if (t.distance != 0.0 && std::isfinite(t.value) &&
        quietLessEqual(std::fabs(t.predicted), invisible))
      rho = quietMax(rho, std::fabs(t.value - f_));
  return rho;
}

bool StepEvidence::risesToFirstOrder(double rho) const {
  std::vector<Rise> rises;
  for (std::size_t direction = 0; direction <= direction_; ++direction)
    for (const double side : {1.0, -1.0}) {
      rises.clear();
      for (const Trial& t : trials_) {
        const double s = side * t.distance;
        if (t.direction != direction || !(s > 0.0) || !std::isfinite(s) ||
            !std::isfinite(t.value))
          continue;
        const double change = t.value - f_;
        if (change >= kVisibleRise * rho) rises.push_back({s, change});
      }
      std::sort(rises.begin(), rises.end(),
                [](const Rise& a, const Rise& b) { return a.s < b.s; });
      // The nearest two whose distances differ enough to tell the orders apart.
      for (std::size_t k = 1; k < rises.size(); ++k)
        if (rises[k].s >= 2.0 * rises[0].s) {
          if (firstOrder(rises[0], rises[k], rho)) return true;
          break;
        }
    }
  return false;
}

bool StepEvidence::showsDecrease(double enhancement) const {
  if (!std::isfinite(f_)) return false;
  return quietly([&] {
    const double rho = rounding();
    return quietGreater(enhancement, kRealDecrease * rho);
  });
}

bool StepEvidence::crawled(double enhancement) const {
  if (std::isnan(model_.decrease) || !std::isfinite(f_)) return false;
  return quietly([&] {
    const double rho = rounding();
    return quietGreater(model_.decrease, kModelSlack * rho) &&
           quietLess(enhancement, kCrawlShare * model_.decrease);
  });
}

// What a trial can show is its predicted change, or where that is not
// known, what the whole gradient predicts over its length.
bool StepEvidence::saysSomething(const Trial& t, double gradientNorm, double rho) {
  const double shown =
      std::isnan(t.predicted) ? gradientNorm * std::fabs(t.distance) : std::fabs(t.predicted);
  return quietGreater(shown, rho);
}

bool StepEvidence::showsStationary(double gradientNorm, double pointNorm) const {
  if (gradientNorm == 0.0) return true;
  if (!std::isfinite(gradientNorm) || !std::isfinite(f_)) return false;
  return quietly([&] {
    const double rho = rounding();
    if (!std::isfinite(rho)) return false;
    // Some value moved by more than rho: the search reached the scale on
    // which f changes, and its flat trials lie inside it.
    bool visible = false;
    for (const Trial& t : trials_)
      visible = visible ||
                (t.distance != 0.0 && std::isfinite(t.value) && std::fabs(t.value - f_) > rho);
    // A model gives the scale on which f varies near x; without one, the
    // trials' own lengths are all there is.
    const bool modelled = !std::isnan(model_.decrease);
    double flat = -1.0, reach = 0.0;
    bool informative = false;
    for (const Trial& t : trials_) {
      if (t.distance == 0.0 || !std::isfinite(t.value)) continue;
      const double change = t.value - f_;
      if (change < -kRealDecrease * rho) return false;
      reach = quietMax(reach, std::fabs(t.distance));
      const bool shows = saysSomething(t, gradientNorm, rho);
      informative = informative || shows;
      if (change <= rho && (!modelled || shows || visible))
        flat = std::fmax(flat, std::fabs(t.distance));
    }
    if (risesToFirstOrder(rho)) return false;
    if (quietLessEqual(model_.decrease, kModelUnseen * rho)) return true;
    if (informative && quietLessEqual(model_.decrease, kModelSlack * rho)) return true;
    if (model_.wholeModel && !std::isnan(model_.decrease)) return false;
    if (flat > 0.0) return quietLessEqual(gradientNorm * flat, kSlack * rho);
    if (informative) return false;
    // Nothing was shown either way: only a gradient that no move on the
    // scale of x changes f by more than the noise is negligible (at x = 0
    // without a trial that moved, there is no scale).
    const double scale = quietMax(pointNorm, reach);
    return scale > 0.0 && quietLessEqual(gradientNorm * scale, rho);
  });
}
