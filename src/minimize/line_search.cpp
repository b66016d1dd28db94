// Line search of the minimisation driver.
//
// From x with value f0 and gradient g along d (slope s0 = d.g < 0):
//
//   1. Backtracking from a = alpha0: a_{k+1} = a_k / r_k, r_0 = 2.1,
//      r_{k+1} = 1.1 r_k (divisors 2.1, 2.31, 2.541, ...), until the
//      acceptance tests (line_search.h) hold; none when a falls below
//      alphamin or after 1000 rejected trials.
//   2. The accepted step a, then the scans a + 0.1 a 1.7^k forward (up to
//      alphamax) and a - 0.1 a 1.7^k backward (down to -alphamax^(1/4),
//      past zero onto -d) while the tests hold (step_scan.cpp).
//   3. nsweeps sweeps, each restarting the scans from the most promising
//      row of the table: its lowest J when that improved since the last
//      sweep, its largest jump in J, and its largest gap in alpha.
//   4. The row of least J (the first of equal ones, by increasing alpha).
//      A negative alpha is a step along -d: its magnitude with the sign
//      flipped.
//
// An uphill d (s0 > 0) is searched as -d, sign -1. A zero slope has no
// downhill side, and a slope that is not finite no usable one: both give
// the no-step result with status bit 0x40. Every trial whose point or
// value is not finite fails, so that a NaN or infinity never enters the
// table, and the arithmetic on host values runs quietly.

#include "minimize/line_search.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>

#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "driver/driver_errors.h"
#include "minimize/zelk_task.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr int kBacktrackingTrials = 1000;

// The first accepted step of the backtracking, or NaN when there is none.
double backtrack(const LineSearchClosure& search, double alpha0, double& J) {
  const unsigned trace = opts.trace;
  double a = alpha0, r = 2.1;
  for (int trial = 0; trial < kBacktrackingTrials; ++trial) {
    if (trace & 0x100) std::fputc('w', stderr);
    ++state.nLineSearch;
    const TrialTests t = search.test(a);
    if (t.accepted()) {
      J = t.J;
      return a;
    }
    if (trace & 0x100) std::fputc('v', stderr);
    a = quietDivide(a, r);
    r *= 1.1;
    // A NaN step (from a NaN alpha0) is as unusable as a tiny one.
    if (!quietGreaterEqual(a, opts.alphamin)) return std::numeric_limits<double>::quiet_NaN();
  }
  // Not an error of the host's problem: the iteration goes on without a
  // step along this direction.
  std::fputs("Warning: search error I\n", stderr);
  return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

LSResult OptimizationTask::linesearch(double f0, const std::valarray<double>& x,
                                      const std::valarray<double>& d, double alpha0,
                                      const std::valarray<double>& g, std::string name, int sign) {
  return linesearchDirect(f0, x, d, alpha0, g, std::move(name), sign);
}

LSResult OptimizationTask::linesearchDirect(double f0, const std::valarray<double>& x,
                                            const std::valarray<double>& d, double alpha0,
                                            const std::valarray<double>& g, std::string name,
                                            int sign) {
  const double s0 = dotProduct(d, g);
  if (!std::isfinite(s0) || s0 == 0.0) {
    state.status |= 0x40;
    return LSResult{};
  }
  if (s0 > 0.0) {
    state.status |= 0x20;
    if (sign == 1) return linesearch(f0, x, Vec(-d), alpha0, g, std::move(name), -1);
    state.status |= 0xa0;
    driverStop(host, "incorrect sign", -1);
    return LSResult{};
  }

  const LineSearchClosure search(*this, f0, x, d, g, s0);
  double J = 0.0;
  const double a = backtrack(search, alpha0, J);
  if (std::isnan(a)) return LSResult{};

  DataFrame table = trialTable();
  table.values[0] = Vec{J};
  table.values[1] = Vec{a};
  const double alphamax = opts.alphamax;
  table = rbind(table, scanStepLengths(search, a, 0.1 * a, 0.0, alphamax));
  const double backLimit = -quietly([&] { return std::pow(alphamax, 0.25); });
  table = rbind(table, scanStepLengths(search, a, -0.1 * a, backLimit, alphamax));

  double Jbest = table.values[0][lowestTrial(table.values[0])];
  const unsigned sweeps = opts.nsweeps;
  for (unsigned k = 0; k < sweeps; ++k) {
    const double lowest = table.values[0][lowestTrial(table.values[0])];
    if (quietLess(lowest, Jbest)) {
      Jbest = lowest;
      table = sweepTrials(search, std::move(table), k, "min");
    }
    table = sweepTrials(search, std::move(table), k, "max-diff");
    table = sweepTrials(search, std::move(table), k, "max-adiff");
  }

  sortTrialsByAlpha(table);
  const std::size_t row = lowestTrial(table.values[0]);
  LSResult result;
  result.J = table.values[0][row];
  result.alpha = table.values[1][row];
  result.sign = sign;
  if (result.alpha < 0.0) {
    result.alpha = -result.alpha;
    result.sign = -sign;
  }
  result.slope = s0;
  result.trials = std::move(table);
  result.code = 0;
  return result;
}

bool checkLineSearchPoint(OptimizationTask& task, double f0, const std::valarray<double>& x,
                          const std::valarray<double>& g, const LSResult& result,
                          const std::valarray<double>& d, std::valarray<bool>& flags) {
  const bool plausible = result.alpha != 0.0
                             ? std::isfinite(result.alpha) && std::isfinite(result.J)
                             : std::isfinite(result.J) && result.J != -1.0;
  if (!plausible) {
    if (opts.trace & 0x20) {
      const QuietFpScope quiet;
      std::cerr << "Line search result rejected: " << result.alpha << ", " << result.J << "\n";
    }
    return false;
  }
  if (opts.wolcheck == 0) return true;
  const double sign = result.sign;
  const Vec direction = quietly([&] { return Vec(sign * d); });
  const LineSearchClosure search(task, f0, x, direction, g, dotProduct(direction, g));
  const TrialTests t = search.test(result.alpha);
  flags = std::valarray<bool>{t.armijo, t.curvature, t.strong};
  return t.accepted();
}
