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

constexpr double kRoundingFloor = 4.0;   // rho >= 4 eps |f|, 4 times the noise
constexpr double kRealDecrease = 2.0;    // below f - 2 rho: not noise
constexpr double kVisibleRise = 16.0;    // a rise of 16 rho shows its shape
constexpr double kModelUnseen = 2.0;     // a model decrease of 2 rho no trial could show
constexpr double kFirstOrderFall = 4.0;  // sigma^2 / 2c above 4 rho is not noise
constexpr double kSlack = 1000.0;        // ||g|| t <= 1000 rho
constexpr double kHalfWayFall = 8.0;     // a flat trial predicting a fall of 8 rho

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
  reach_.resize(0);
}

void StepEvidence::beginDirection() { ++direction_; }

void StepEvidence::add(const std::valarray<double>& x, const std::valarray<double>& trial,
                       double side, double predicted, double value) {
  const double d = distance(x, trial);
  Trial& t = trials_.emplace_back(Trial{std::copysign(d, side), predicted, value, direction_, {}});
  if (!std::isfinite(d) || d == 0.0) return;
  if (reach_.size() != x.size()) reach_.resize(x.size(), 0.0);
  t.moved.resize(x.size());
  quietly([&] {
    for (std::size_t j = 0; j < x.size(); ++j) {
      t.moved[j] = trial[j] != x[j];
      reach_[j] = std::fmax(reach_[j], std::fabs(trial[j] - x[j]));
    }
  });
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

// What a trial can show is its predicted change, or where that is not
// known, what the whole gradient predicts over its length.
bool StepEvidence::saysSomething(const Trial& t, double gradientNorm, double rho) {
  const double shown =
      std::isnan(t.predicted) ? gradientNorm * std::fabs(t.distance) : std::fabs(t.predicted);
  return quietGreater(shown, rho);
}

// |x_j|, or where x_j = 0 the longest move of a trial along it (0: none).
double StepEvidence::variableSize(const std::valarray<double>& x, std::size_t j) const {
  return x[j] != 0.0 ? std::fabs(x[j]) : j < reach_.size() ? reach_[j] : 0.0;
}

// sum_j |g_j| s_j over the variables not in `skip` (null: all), s_j their
// own sizes; +inf where a variable with a gradient has no size.
double StepEvidence::shownOnOwnScale(const std::valarray<double>& g,
                                     const std::valarray<double>& x,
                                     const std::vector<bool>* skip) const {
  double shown = 0.0;
  for (std::size_t j = 0; j < x.size() && j < g.size(); ++j) {
    if (skip != nullptr && j < skip->size() && (*skip)[j]) continue;
    const double scale = variableSize(x, j);
    if (scale == 0.0 && g[j] != 0.0) return std::numeric_limits<double>::infinity();
    shown += std::fabs(g[j]) * scale;
  }
  return shown;
}

// The longest trial that moved x and whose value stayed within f + rho,
// of those that count: all of them (`any`), else those that say something
// (by their predicted change alone where `knownOnly`).
const StepEvidence::Trial* StepEvidence::longestFlat(double rho, double gradientNorm, bool any,
                                                     bool knownOnly) const {
  const Trial* flat = nullptr;
  for (const Trial& t : trials_)
    if (t.distance != 0.0 && std::isfinite(t.value) && t.value - f_ <= rho &&
        (any || (saysSomething(t, gradientNorm, rho) && !(knownOnly && std::isnan(t.predicted)))) &&
        (flat == nullptr || std::fabs(t.distance) > std::fabs(flat->distance)))
      flat = &t;
  return flat;
}

bool StepEvidence::someVisibleChange(double rho) const {
  for (const Trial& t : trials_)
    if (t.distance != 0.0 && std::isfinite(t.value) && std::fabs(t.value - f_) > rho) return true;
  return false;
}

std::valarray<double> StepEvidence::unmovedDirection(const std::valarray<double>& g,
                                                     const std::valarray<double>& x) const {
  std::valarray<double> u(0.0, x.size());
  const Trial* flat = quietly([&] {
    const double rho = rounding();
    return longestFlat(rho, normfro(g), true, false);
  });
  if (flat == nullptr || g.size() != x.size()) return u;
  quietly([&] {
    for (std::size_t j = 0; j < x.size(); ++j)
      if (j >= flat->moved.size() || !flat->moved[j]) {
        const double size = variableSize(x, j);
        u[j] = -g[j] * size * size;
      }
  });
  return u;
}

// The verdict on the variables a flat trial did not move.
StepEvidence::Verdict StepEvidence::unmovedVariables(const std::valarray<double>& g,
                                                     const std::valarray<double>& x,
                                                     const std::vector<bool>& moved,
                                                     const double* unmovedCurvature,
                                                     double rho) const {
  if (shownOnOwnScale(g, x, &moved) <= rho) return Verdict::Stationary;
  if (unmovedCurvature == nullptr) return Verdict::UnlessUnmovedVariables;
  if (!(*unmovedCurvature > 0.0)) return Verdict::NotStationary;
  const std::valarray<double> u = unmovedDirection(g, x);
  double slope = 0.0;
  for (std::size_t j = 0; j < u.size(); ++j) slope += g[j] * u[j];
  const double promise = slope * slope / (2.0 * *unmovedCurvature);
  return promise <= kModelUnseen * rho ? Verdict::Stationary : Verdict::NotStationary;
}

StepEvidence::Verdict StepEvidence::stationarity(const std::valarray<double>& g,
                                                 const std::valarray<double>& x,
                                                 const double* unmovedCurvature,
                                                 FlatTrials flatTrials) const {
  const double gradientNorm = normfro(g);
  if (gradientNorm == 0.0) return Verdict::Stationary;
  if (!std::isfinite(gradientNorm) || !std::isfinite(f_) || !allFiniteBits(x))
    return Verdict::NotStationary;
  return quietly([&] {
    const double rho = rounding();
    if (!std::isfinite(rho)) return Verdict::NotStationary;
    bool informative = false, fallsHalfWay = false;
    for (const Trial& t : trials_) {
      if (t.distance == 0.0 || !std::isfinite(t.value)) continue;
      if (t.value - f_ < -kRealDecrease * rho) return Verdict::NotStationary;
      // f(x + s d) = f - a s + b s^2 through a flat trial at s with a s
      // above 8 rho falls by a s / 4 > 2 rho at half its length.
      fallsHalfWay = fallsHalfWay ||
                     (t.value - f_ <= rho && quietLess(t.predicted, -kHalfWayFall * rho));
      informative = informative || saysSomething(t, gradientNorm, rho);
    }
    if (risesToFirstOrder(rho)) return Verdict::NotStationary;
    if (quietLessEqual(model_.decrease, kModelUnseen * rho)) return Verdict::Stationary;
    if (fallsHalfWay || (model_.wholeModel && !std::isnan(model_.decrease)))
      return Verdict::NotStationary;
    // Next to a model, which gives the scale on which f varies, or for a
    // driver whose model the trials refute, a flat trial counts only when
    // it says something (for that driver, by a prediction it has) or the
    // iteration reached a visible change.
    const bool anyFlat = (flatTrials == FlatTrials::All && std::isnan(model_.decrease)) ||
                         someVisibleChange(rho);
    const Trial* flat =
        longestFlat(rho, gradientNorm, anyFlat, flatTrials == FlatTrials::WithinVisibleChange);
    if (flat != nullptr) {
      std::valarray<double> movedPart(0.0, g.size());
      for (std::size_t j = 0; j < g.size() && j < flat->moved.size(); ++j)
        if (flat->moved[j]) movedPart[j] = g[j];
      if (!(normfro(movedPart) * std::fabs(flat->distance) <= kSlack * rho))
        return Verdict::NotStationary;
      return unmovedVariables(g, x, flat->moved, unmovedCurvature, rho);
    }
    if (informative || flatTrials == FlatTrials::WithinVisibleChange) return Verdict::NotStationary;
    return shownOnOwnScale(g, x, nullptr) <= rho ? Verdict::Stationary : Verdict::NotStationary;
  });
}
