// Step-length scans and sweeps of the minimisation line search.
//
// A scan from alpha with offset delta tries a_k = alpha + delta 1.7^k,
// k = 0, 1, 2, ..., and keeps every accepted a_k until the first rejected
// one or a bound (lo < a_k < hi, a_k <= alphamax): geometric offsets reach
// far along a flat valley in few trials and stay close where the
// acceptance region is narrow.
//
// A sweep restarts two scans from one row s of the table T (sorted by
// alpha, n rows):
//   "min"        s = the first row of least J;
//   "max-diff"   s = the first i maximising |J[i+1] - J[i]| / scale, scale
//                the J of the last row (1 when |scale| < machine epsilon;
//                it keeps its sign);
//   "max-adiff"  s = the first i maximising |alpha[i+1] - alpha[i]|.
// With r = max(alpha) - min(alpha) and the gaps to the neighbouring rows
// gL = |alpha[s-1] - alpha[s]| (s >= 2) and gR = |alpha[s+1] - alpha[s]|,
// the offsets are
//   stepR = max(0.01 alphamin, 0.01 r, 0.1 gR),
//   stepL = max(0.01 alphamin, 0.01 r, 0.1 gL),
// and both scans stay strictly between the nearest trials below and above
// alpha[s] among the rows other than s and s - 1.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"
#include "driver/driver_errors.h"
#include "minimize/line_search.h"
#include "minimize/zelk_task.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// The first i maximising |v[i+1] - v[i]| / scale; 0 for fewer than two
// entries.
std::size_t firstLargestStep(const Vec& v, double scale) {
  auto step = [&](std::size_t i) {
    return quietDivide(std::fabs(quietDifference(v[i + 1], v[i])), scale);
  };
  if (v.size() < 2) return 0;
  std::size_t best = 0;
  double largest = step(0);
  for (std::size_t i = 1; i + 1 < v.size(); ++i)
    if (const double s = step(i); quietGreater(s, largest)) {
      best = i;
      largest = s;
    }
  return best;
}

// The scale of the jumps of J: its last entry, 1 when that is below the
// machine epsilon in magnitude.
double jumpScale(const Vec& J) {
  const double last = J[J.size() - 1];
  return quietLess(std::fabs(last), DBL_EPSILON) ? 1.0 : last;
}

}  // namespace

void sortTrialsByAlpha(DataFrame& table) {
  const Vec& alpha = table.getvector("alpha");
  std::valarray<std::size_t> order(alpha.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(std::begin(order), std::end(order),
                   [&alpha](std::size_t i, std::size_t j) { return quietLess(alpha[i], alpha[j]); });
  table = table[order];
}

std::size_t lowestTrial(const std::valarray<double>& J) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < J.size(); ++i)
    if (quietLess(J[i], J[best])) best = i;
  return best;
}

DataFrame scanStepLengths(const LineSearchClosure& search, double alpha, double delta, double lo,
                          double hi) {
  const double limit = opts.stepScanMax;
  std::vector<double> J, steps;
  for (double k = 0; quietLess(k, limit); ++k) {
    const double a = quietSum(alpha, delta);
    if (quietLessEqual(a, lo) || quietGreaterEqual(a, hi) || quietGreater(a, opts.alphamax)) break;
    ++state.nScan;
    const TrialTests t = search.test(a);
    if (!t.accepted()) break;
    J.push_back(t.J);
    steps.push_back(a);
    delta = quietProduct(1.7, delta);
  }
  DataFrame table = trialTable();
  table.values[0] = Vec(J.data(), J.size());
  table.values[1] = Vec(steps.data(), steps.size());
  return table;
}

DataFrame sweepTrials(const LineSearchClosure& search, DataFrame table, unsigned /*sweep*/,
                      const std::string& mode) {
  sortTrialsByAlpha(table);
  const Vec& J = table.getvector("J");
  const Vec& alpha = table.getvector("alpha");
  const std::size_t n = alpha.size();
  if (n == 0 || J.size() != n) {
    // Nothing to restart from: the table goes back as it came.
    std::fprintf(stderr, "invalid sweep start offset 0 for sweep mode %s\n", mode.c_str());
    return table;
  }

  std::size_t s = 0;
  if (mode == "min" || n < 2) {
    s = lowestTrial(J);
  } else if (mode == "max-diff") {
    s = firstLargestStep(J, jumpScale(J));
  } else if (mode == "max-adiff") {
    s = firstLargestStep(alpha, 1.0);
  } else {
    driverStop(search.task.host, "invalid sweep mode", -1);
  }

  const double as = alpha[s];
  const double gL = s >= 2 ? std::fabs(quietDifference(alpha[s - 1], as)) : -kInf;
  const double gR = s + 1 < n ? std::fabs(quietDifference(alpha[s + 1], as)) : -kInf;
  const double range = quietDifference(alpha[n - 1], alpha[0]);
  const double floor = std::fmax(0.01 * opts.alphamin, 0.01 * range);
  const double stepL = std::fmax(floor, 0.1 * gL);
  const double stepR = std::fmax(floor, 0.1 * gR);

  double lo = -kInf, hi = kInf;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == s || i + 1 == s) continue;
    if (quietLess(alpha[i], as)) lo = std::fmax(lo, alpha[i]);
    if (quietGreater(alpha[i], as)) hi = std::fmin(hi, alpha[i]);
  }

  table = rbind(table, scanStepLengths(search, as, stepR, lo, hi));
  return rbind(table, scanStepLengths(search, as, -stepL, lo, hi));
}
