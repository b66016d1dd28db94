// Central differences with their error, the ladder of steps of the
// derivative checks, and the checked error of a derivative against them
// (see central_difference.h).

#include "driver/central_difference.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "dense/norms.h"

using Vec = std::valarray<double>;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The smallest power of two >= v, for v >= 1 (infinity stays).
double powerOfTwoAtLeast(double v) {
  if (!std::isfinite(v)) return v;
  int exponent = 0;
  const double mantissa = std::frexp(v, &exponent);  // v = mantissa 2^exponent
  return mantissa == 0.5 ? v : std::ldexp(1.0, exponent);
}

}  // namespace

CentralDifference centralDifference(const Vec& plus, const Vec& minus, double h) {
  return centralDifference(plus, minus, Vec(h, plus.size()));
}

CentralDifference centralDifference(const Vec& plus, const Vec& minus, const Vec& h) {
  const std::size_t n = plus.size();
  if (minus.size() != n || h.size() != n)
    throw std::invalid_argument("centralDifference: the values and steps differ in length");
  CentralDifference d{Vec(0.0, n), Vec(0.0, n)};
  quietly([&] {
    for (std::size_t i = 0; i < n; ++i) {
      d.value[i] = (plus[i] - minus[i]) / (2.0 * h[i]);
      d.error[i] = kRoundingFactor * DBL_EPSILON * (std::fabs(plus[i]) + std::fabs(minus[i])) /
                   (2.0 * h[i]);
    }
  });
  return d;
}

Judgement judge(const Vec& a, const Vec& D, const Vec& e) {
  const std::size_t n = a.size();
  if (D.size() != n || e.size() != n)
    throw std::invalid_argument("judge: the derivatives differ in length");
  Vec excess(0.0, n), reliable(0.0, n), bound(0.0, n);
  bool unbounded = false;
  const bool nan = quietly([&] {
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isnan(a[i]) || std::isnan(D[i])) return true;
      if (!std::isfinite(e[i])) {  // no estimate: nothing to hold against a
        unbounded = true;
        continue;
      }
      excess[i] = std::fmax(std::fabs(a[i] - D[i]) - e[i], 0.0);
      reliable[i] = std::fmax(std::fabs(D[i]) - e[i], 0.0);
      bound[i] = e[i];
    }
    return false;
  });
  if (nan) return {kNaN, kNaN};
  const double difference = normfro(excess), bounds = normfro(bound);
  const double scale = std::fmax(normfro(a), normfro(reliable));
  Judgement j;
  j.excess = scale > 0.0 ? quietly([&] { return difference / scale; }) : difference;
  j.allowance = unbounded        ? kInf
                : scale > 0.0    ? quietly([&] { return bounds / scale; })
                                 : bounds;
  return j;
}

const CentralDifference& DifferenceLadder::reference() {
  if (rungs_.empty()) take(1.0);
  if (!current_) combine();
  return reference_;
}

bool DifferenceLadder::climb(double shrink) {
  if (rungs_.empty()) take(1.0);
  const double wide = shape_.wide, partner = 4.0 * wide;
  if (rungs_.size() == 1) {
    take(wide);
    take(partner);
    return true;
  }
  if (climbedFar_ || !quietGreater(shrink, 1.0)) return false;
  climbedFar_ = true;
  // Rounding falls as widen^-order: the step at which it is `shrink` times
  // below the wide step's, at least the partner's (whose own partner then
  // comes) and at most the widest.
  const double far = quietly([&] { return wide * std::pow(shrink, 1.0 / shape_.order); });
  const double K = std::clamp(powerOfTwoAtLeast(far), partner, shape_.widest);
  if (K > partner) take(K);
  take(4.0 * K);
  return true;
}

std::vector<double> DifferenceLadder::widenings() const {
  std::vector<double> w;
  for (const Rung& r : rungs_) w.push_back(r.widen);
  return w;
}

void DifferenceLadder::take(double widen) {
  CentralDifference d = differencesAt_(widen);
  if (!rungs_.empty() && d.value.size() != rungs_.front().d.value.size())
    throw std::invalid_argument("DifferenceLadder: the rungs differ in length");
  const auto at = std::find_if(rungs_.begin(), rungs_.end(),
                               [&](const Rung& r) { return r.widen > widen; });
  rungs_.insert(at, Rung{widen, std::move(d)});
  current_ = false;
}

namespace {

// One entry's reference among the rungs: value, bound.
struct Chosen {
  double value, bound;
};

// The entry's reference from its rungs (ascending widen) whose value and
// rounding are finite: difference D, rounding r; two or more. Rung j is
// trusted within r_j and the part of its gap to the next rung that the two
// roundings do not explain; the widest is not trusted.
Chosen chooseRung(const std::vector<double>& D, const std::vector<double>& r) {
  Chosen best{D[0], kInf};
  for (std::size_t j = 0; j + 1 < D.size(); ++j) {
    const double unexplained = std::fabs(D[j + 1] - D[j]) - r[j] - r[j + 1];
    const double bound = r[j] + std::fmax(unexplained, 0.0);
    if (bound < best.bound) best = {D[j], bound};
  }
  return best;
}

}  // namespace

void DifferenceLadder::combine() {
  const std::size_t n = rungs_.front().d.value.size();
  reference_ = {Vec(0.0, n), Vec(0.0, n)};
  quietly([&] {
    std::vector<double> D, r;
    for (std::size_t i = 0; i < n; ++i) {
      D.clear();
      r.clear();
      for (const Rung& rung : rungs_) {
        const double value = rung.d.value[i], rounding = rung.d.error[i];
        if (!std::isfinite(value) || !std::isfinite(rounding)) continue;
        D.push_back(value);
        r.push_back(rounding);
      }
      // The narrow rung alone, or nothing trusted beside it (the wider
      // values not finite): the narrow difference with its rounding.
      const Chosen chosen = rungs_.size() > 1 && D.size() > 1
                                ? chooseRung(D, r)
                                : Chosen{rungs_.front().d.value[i], rungs_.front().d.error[i]};
      const bool trusted = std::isfinite(chosen.bound);
      reference_.value[i] = trusted ? chosen.value : rungs_.front().d.value[i];
      reference_.error[i] = trusted ? chosen.bound : rungs_.front().d.error[i];
    }
  });
  current_ = true;
}
