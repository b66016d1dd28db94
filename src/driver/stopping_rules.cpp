#include "driver/stopping_rules.h"

#include <cmath>
#include <cstdio>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "driver/signal_requests.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "options/variant_ptr.h"

namespace {

// tol > |num / den|, false for a zero or NaN denominator.
bool relativeBelow(double tol, double num, double den) {
  if (den == 0.0 || std::isnan(den)) return false;
  return quietGreater(tol, quietly([&] { return std::fabs(num / den); }));
}

bool stopFileExists() {
  std::FILE* f = std::fopen("stop.txt", "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

}  // namespace

StopReason testStoppingRules(const StopTestValues& v) {
  // A monitor client may be setting any of these options right now.
  const double maxrt = liveOption(opts.maxrt), tolStepAbs = liveOption(opts.tolStepAbs),
               tolStepRel = liveOption(opts.tolStepRel), tolEnhAbs = liveOption(opts.tolEnhAbs),
               tolEnhRel = liveOption(opts.tolEnhRel), tolGradAbs = liveOption(opts.tolGradAbs),
               tolGradRel = liveOption(opts.tolGradRel), objLimit = liveOption(opts.objLimit),
               tolObjAbs = liveOption(opts.tolObjAbs), tolObjRel = liveOption(opts.tolObjRel),
               tolLimRel = liveOption(opts.tolLimRel);
  if (quietGreater(v.elapsed, maxrt)) return {11, 1, "maxrt reached"};
  if (v.iteration >= static_cast<long>(liveOption(opts.maxit))) return {12, 1, "maxit reached"};
  if (state.error != 0) return {33, 1, "error occurred"};
  const bool stalled = !v.progressed && !v.stationary;
  // The rules on the step hold only for a step that says something about
  // convergence; whether the iteration crawled is asked once, when one of
  // them would hold.
  int crawled = -1;
  const auto stepRule = [&](bool holds) {
    if (!holds || stalled || v.stepSetByRadius) return false;
    if (crawled < 0) crawled = v.progressed && v.crawled && v.crawled() ? 1 : 0;
    return crawled == 0;
  };
  if (stepRule(quietGreater(tolStepAbs, std::fabs(v.nu)))) return {21, 0, "tolStepAbs reached"};
  if (stepRule(relativeBelow(tolStepRel, v.nu, v.normX))) return {22, 0, "tolStepRel reached"};
  if (stepRule(quietGreater(tolEnhAbs, std::fabs(v.enh)))) return {23, 0, "tolEnhAbs reached"};
  if (stepRule(relativeBelow(tolEnhRel, v.enh, v.fStart))) return {24, 0, "tolEnhRel reached"};
  if (v.haveGradient) {
    if (quietGreater(tolGradAbs, v.gNorm)) return {25, 0, "tolGradAbs reached"};
    const double gradientStep = quietly([&] { return std::fabs(v.gNorm * v.alpha * v.dNorm); });
    if (stepRule(quietGreater(tolGradRel, gradientStep))) return {26, 0, "tolGradRel reached"};
  }
  const double toLimit = quietly([&] { return std::fabs(v.f - objLimit); });
  if (quietGreater(tolObjAbs, toLimit)) return {27, 0, "tolObjAbs reached"};
  const double startToLimit = quietly([&] { return v.f0 - objLimit; });
  if (relativeBelow(tolObjRel, toLimit, startToLimit)) return {28, 0, "tolObjRel reached"};
  if (objLimit != 0.0 && relativeBelow(tolLimRel, toLimit, objLimit))
    return {29, 0, "objLimRel reached"};
  if (stopRequested()) return {30, 1, "user interrupt"};
  if (liveOption(opts.enableStopFile) != 0 && stopFileExists())
    return {31, 1, "stop file exists"};
  if (v.outputAnswer != 0)
    return {32, v.outputAnswer == 1 ? 0 : v.outputAnswer, "stop code set"};
  if (stalled && !v.retry)
    return v.objectiveNotFinite ? StopReason{35, 1, "stalled on a non-finite objective"}
                                : StopReason{34, 1, "stalled before a stationary point"};
  return {};
}
