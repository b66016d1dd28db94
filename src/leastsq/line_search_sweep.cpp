// The sweep least-squares line search: the best valid step of the three
// sweeps, refined by a damped Newton iteration on the objective J(a) along
// the line, for at most "lsmaxit" steps (default 7).
//
// From a = the best sweep step that passes the "wolcheck" level, h = 1/8:
//   s     = -h J(a) / J'(a)        (-h J(a) where J'(a) = 0)
//   a'    = a + sign(s) min(|s|, 0.4 a)
//   a'    = 0.2 a' + 0.8 (l + u) / 2  when a' falls between two tried step
//           lengths l < u (u the smallest tried one >= a', not the smallest
//           of all), which pulls it into the gap it lies in;
//   h     = 2 h while J' keeps its sign, else min(h / 2, 1/8);
// stopping once |s| < 1e-12 (J reached 0, say). s is Newton's step towards
// a zero of J(a), damped by h: for a zero-residual problem J falls to 0 at
// the solution, and near it J is (for the norms) |a - a*| |J'|, so full
// steps land on a*. J' is the slope of the objective itself along the
// searched direction, so that J / J' is a step length. Each refinement
// trial is recorded; the ones that pass the level join the sweep's table
// (with their slopes as "dJ"), and the best valid row of that table is the
// result.
//
// A sweep without a valid row gives the no-step result (with a warning),
// like a final table without a valid row.

#include <cmath>
#include <cstdio>
#include <iterator>
#include <optional>
#include <set>

#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"
#include "leastsq/line_search.h"
#include "leastsq/line_search_record.h"
#include "leastsq/step_sweeps.h"
#include "leastsq/trial_evaluation.h"
#include "leastsq/trial_table.h"
#include "leastsq/wolfe_code.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

constexpr double kStartDamping = 0.125;
constexpr double kMoveCap = 0.4;
constexpr double kStepFloor = 1e-12;

int signOf(double v) { return quietGreater(v, 0.0) - quietLess(v, 0.0); }

// The damped Newton refinement from a; the accepted trials, slopes as "dJ".
DataFrame refine(LineSearchContext& context, double a, const std::string& name) {
  TrialRows accepted;
  const int steps = opts.lsmaxit;
  std::set<double> tried;
  double h = kStartDamping, previousSlope = -1.0;
  for (int k = 0; k < steps; ++k) {
    const Trial trial = evaluateTrial(context, a, true, state.refineEvaluations());
    const double J = trial.J, g = trial.slope;
    tried.insert(a);
    recordLineSearchPoint(context.task, context.buffers.point, context.buffers.residual, trial.code,
                          name, a, J, g);
    if (checkWolC(trial.code)) accepted.add(trial, g);

    const double s = g == 0.0 ? -h * J : -h * quietDivide(J, g);
    if (quietLess(std::fabs(s), kStepFloor)) break;
    const double move = std::fmin(std::fabs(s), kMoveCap * a);
    a = quietGreaterEqual(s, 0.0) ? a + move : a - move;
    // The weight of a' is 1 - 0.8 as a double (0.19999999999999996).
    if (const auto u = tried.lower_bound(a); u != tried.end() && u != tried.begin())
      a = (1.0 - 0.8) * a + 0.8 * ((*std::prev(u) + *u) * 0.5);
    h = signOf(g) == signOf(previousSlope) ? 2 * h : std::fmin(0.5 * h, kStartDamping);
    previousSlope = g;
  }
  return accepted.table("dJ");
}

}  // namespace

LSResult lineSearchSweep(LineSearchContext& context, const std::string& name) {
  if (zeroSlope(context, name)) return LSResult();
  DataFrame T = sweepStepLengths(context);
  if (T.names.empty() || T.getvector("alpha").size() == 0) return LSResult();
  T = sortedByAlpha(T);

  DataFrame valid = T;
  selectValid(valid);
  const std::optional<std::size_t> start = minRow(valid);
  if (!start) {
    std::fprintf(stderr, "Linesearch %s: Warning: search error S\n", name.c_str());
    return LSResult();
  }
  DataFrame U = rbind(T, refine(context, valid.getvector("alpha")[*start], name));
  selectValid(U);
  const std::optional<std::size_t> chosen = minRow(U);
  if (!chosen) return LSResult();

  // Every step length of the table is positive: the refinement moves a by
  // at most 0.4 a and pulls it between tried ones.
  const double slope = U.getvector("dJ")[*chosen];
  return chosenTrial(std::move(U), *chosen, slope, context.directionSign);
}
