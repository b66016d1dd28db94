#include "driver/step_evidence.h"

#include <cfloat>
#include <cmath>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"

namespace {

constexpr double kRoundingFloor = 4.0;  // rho >= 4 eps |f|
constexpr double kSlack = 1000.0;       // ||g|| t <= 1000 rho

}  // namespace

void StepEvidence::reset(double f) {
  f_ = f;
  trials_.clear();
}

void StepEvidence::add(double step, double directionNorm, double slope, double value) {
  trials_.push_back({step, directionNorm, slope, value});
}

bool StepEvidence::objectiveNotFinite() const {
  if (!std::isfinite(f_)) return true;
  if (trials_.empty()) return false;
  for (const Trial& t : trials_)
    if (std::isfinite(t.value)) return false;
  return true;
}

bool StepEvidence::showsStationary(double gradientNorm) const {
  if (gradientNorm == 0.0) return true;
  if (!std::isfinite(gradientNorm) || !std::isfinite(f_)) return false;
  // Steps, slopes and values are the host's: their products may overflow.
  return quietly([&] {
    const double invisible = DBL_EPSILON * std::fabs(f_);
    double rounding = kRoundingFloor * invisible;
    for (const Trial& t : trials_)
      if (std::isfinite(t.value) && quietLessEqual(std::fabs(t.step * t.slope), invisible))
        rounding = quietMax(rounding, std::fabs(t.value - f_));
    if (!std::isfinite(rounding)) return false;

    double flat = -1.0;
    for (const Trial& t : trials_) {
      if (!std::isfinite(t.value)) continue;
      const double change = t.value - f_;
      if (quietLess(change, -2.0 * rounding)) return false;  // a decrease the rounding cannot explain
      if (quietLessEqual(change, rounding))
        flat = quietMax(flat, std::fabs(t.step) * t.directionNorm);
    }
    // Flat trials of length 0 (along a zero direction) are x itself: no
    // evidence of anything near it.
    if (!quietGreater(flat, 0.0)) return false;
    return quietLessEqual(gradientNorm * flat, kSlack * rounding);
  });
}
