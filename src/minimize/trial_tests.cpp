#include "minimize/trial_tests.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"
#include "minimize/zelk_task.h"
#include "options/opts.h"

namespace {
using Vec = std::valarray<double>;
}  // namespace

DataFrame trialTable() {
  DataFrame t;
  t.names = {"J", "alpha"};
  t.values = {Vec(), Vec()};
  return t;
}

LineSearchClosure::LineSearchClosure(OptimizationTask& task_, double f0_, const Vec& x_,
                                     const Vec& d_, const Vec& g_, double slope_)
    : task(task_), f0(f0_), x(x_), d(d_), g(g_), slope(slope_), trial_(x_.size()) {
  c2s0_ = quietProduct(opts.c2, slope);
  task.stepEvidence.beginDirection();
  // With |a| below DBL_MAX/4 over the largest of 1, |d_i|, |c1| and
  // |c1 s0|, every term a d_i and a c1 s0 stays below DBL_MAX/4; with |x_i|
  // and |f0| below that too, nothing can overflow.
  constexpr double quarter = 0.25 * DBL_MAX;
  const double c1 = opts.c1;
  double scale = std::fmax(1.0, std::fmax(std::fabs(c1), std::fabs(quietProduct(c1, slope))));
  bool ordinary = quietLess(std::fabs(f0), quarter) && std::isfinite(scale);
  for (std::size_t i = 0; ordinary && i < x.size(); ++i) {
    ordinary = quietLess(std::fabs(x[i]), quarter) && std::isfinite(d[i]);
    scale = std::fmax(scale, std::fabs(d[i]));
  }
  plainStep_ = ordinary ? quarter / scale : 0.0;
}

TrialTests LineSearchClosure::test(double a) const {
  TrialTests t;
  t.J = std::numeric_limits<double>::quiet_NaN();
  const bool plain = quietLess(std::fabs(a), plainStep_);
  double bound = 0.0;
  runQuietIf(!plain, [&] {
    for (std::size_t i = 0; i < x.size(); ++i) trial_[i] = x[i] + a * d[i];
    bound = f0 + std::fabs(a) * opts.c1 * slope;
  });
  if (!plain && !allFinite(trial_)) return t;
  t.J = task.objectiveAt(trial_);
  task.stepEvidence.add(x, trial_, a, quietProduct(a, slope), t.J);
  t.armijo = std::isfinite(t.J) && quietLess(t.J, bound);
  const int wolcheck = opts.wolcheck;
  if (wolcheck <= 1) {
    t.curvature = t.strong = true;
    return t;
  }
  if (!t.armijo) return t;
  const double s = dotProduct(task.gradeval(trial_, nullptr), d);
  t.curvature = quietGreaterEqual(s, c2s0_);
  t.strong = wolcheck == 2 || quietLessEqual(std::fabs(s), std::fabs(c2s0_));
  return t;
}
