#include "leastsq/step_sweeps.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include "dense/quiet_compare.h"
#include "leastsq/line_search_record.h"
#include "leastsq/trial_evaluation.h"
#include "leastsq/trial_table.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

constexpr int kSweeps = 3;
constexpr int kSweepSteps = 48;
constexpr int kGridSteps = 12;
constexpr double kLn10 = 2.302585092994046;
constexpr double kRepeatTolerance = 1e-12;

// A grid end as a positive finite double. At most 2^1023, half the largest
// double: the log-spaced steps between two ends, computed through exp, then
// cannot round past the largest double (a huge "alphamin" is such an end).
double positiveEnd(double a) {
  if (!quietGreater(a, 0.0)) return DBL_MIN;
  return std::fmin(a, 0x1p1023);
}

// The step length actually evaluated for the grid step alpha: alpha itself,
// or, when the cache holds it already, a nearby one it does not hold. Grid
// ends reach DBL_MAX (a huge "alphamin"): the nearby step stays finite.
double unrepeatedStep(const std::map<double, double>& cache, double alpha) {
  const auto s = cache.lower_bound(alpha);
  if (s == cache.end() || !(std::fabs(s->first - alpha) < kRepeatTolerance)) return alpha;
  const auto next = std::next(s);
  if (next != cache.end()) return alpha + (next->first - alpha) * 0.5;
  return alpha < DBL_MAX / 1.1 ? alpha * 1.1 : DBL_MAX;
}

}  // namespace

double logSpacedStep(double from, double to, int k, int count) {
  const double lo = std::log10(from);
  const double p = lo + k * (std::log10(to) - lo) / (count - 1);
  return std::exp(kLn10 * p);
}

DataFrame sweepStepLengths(LineSearchContext& context) {
  if (context.g0 == 0.0) {
    state.status |= 0x10;
    return DataFrame();
  }
  TrialRows rows;
  double hi = 1.0, lo = 1e-12;
  // The best trial so far by minRow's rule: the first of the lowest
  // objectives below +infinity; none while every trial is NaN or +inf.
  double bestJ = std::numeric_limits<double>::infinity(), aStar = 0.0;
  bool found = false;
  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    for (int k = 0; k < kSweepSteps; ++k) {
      const double alpha = logSpacedStep(hi, lo, k, kSweepSteps);
      if (opts.trace & 0x100) std::fputc('w', stderr);
      const Trial trial =
          evaluateTrial(context, alpha, opts.wolcheck >= 2, state.sweepEvaluations());
      if (opts.trace & 0x1000) std::fputc('v', stderr);
      rows.add(trial, 0.0);
      if (quietLess(trial.J, bestJ)) {
        bestJ = trial.J;
        aStar = alpha;
        found = true;
      }
    }
    if (!found) continue;
    const double q = std::sqrt(std::sqrt(std::fabs(hi / lo)));
    lo = aStar / q;
    hi = std::fmin(aStar * q, 1.0);
  }
  return rows.table("d");
}

DataFrame evalStepGrid(double a, double b, LineSearchContext& context, const std::string& name) {
  const double lower = positiveEnd(std::fmax(a, opts.alphamin));
  const double upper = positiveEnd(b);
  TrialRows rows;
  for (int j = 0; j < kGridSteps; ++j) {
    const double alpha =
        unrepeatedStep(context.trialCache, logSpacedStep(lower, upper, j, kGridSteps));
    const Trial trial =
        evaluateTrial(context, alpha, opts.wolcheck >= 2, state.refineEvaluations());
    context.trialCache[alpha] = trial.J;
    recordLineSearchPoint(context.task, context.buffers.point, context.buffers.residual, trial.code,
                          name, alpha, trial.J, 0.0);
    rows.add(trial, 0.0);
  }
  return rows.table("d");
}
