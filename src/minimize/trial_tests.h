#pragma once
// The acceptance tests of one trial step of the minimisation line search,
// and the table the trials are collected in. The searches and scans
// (line_search.h) build on them.

#include <valarray>

#include "dense/dataframe.h"

class OptimizationTask;

// The outcome of the acceptance tests at one step a along d:
//   Armijo             f(x + a d) < f0 + |a| c1 s0          (strict)
//   curvature          s >= c2 s0,       s = g(x + a d) . d
//   strong curvature   |s| <= |c2 s0|    (always passed with wolcheck = 2)
// With wolcheck <= 1 the two curvature tests count as passed and no
// gradient is evaluated; otherwise the gradient is evaluated only once the
// Armijo test holds (without it they count as failed). A trial point or
// value that is not finite fails every test. A step back past x (a < 0,
// along -d, where f climbs at first) has to lower f as much as the same
// step forward would: with a c1 s0 > 0 its bound would accept values above
// f0, and the scans would run uphill without end. Every trial is entered
// in the task's step evidence.
struct TrialTests {
  double J = 0.0;  // f(x + a d); NaN when the point was not finite
  bool armijo = false;
  bool curvature = false;
  bool strong = false;
  bool accepted() const { return armijo && curvature && strong; }
};

// What every trial of one search shares: the start x with its value f0 and
// gradient g, the direction d and the slope s0 = d.g.
class LineSearchClosure {
 public:
  OptimizationTask& task;
  double f0;
  const std::valarray<double>& x;
  const std::valarray<double>& d;
  const std::valarray<double>& g;
  double slope;

  LineSearchClosure(OptimizationTask& task_, double f0_, const std::valarray<double>& x_,
                    const std::valarray<double>& d_, const std::valarray<double>& g_,
                    double slope_);

  TrialTests test(double a) const;

 private:
  double c2s0_;       // c2 s0
  double plainStep_;  // steps below this magnitude cannot overflow x + a d or the Armijo bound
  mutable std::valarray<double> trial_;  // x + a d, one buffer for every trial of the search
};

// An empty trial table with the columns "J" and "alpha".
DataFrame trialTable();
