#pragma once
// The minimisation driver's line search (line_search.cpp, step_scan.cpp):
// the acceptance tests at one trial step, the step-length
// scans and sweeps that widen the table of accepted trials, and the
// driver's check of a finished search.

#include <cstddef>
#include <string>
#include <valarray>

#include "dense/dataframe.h"
#include "driver/ls_result.h"

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
// The table's rows by increasing alpha; equal alphas keep their order.
void sortTrialsByAlpha(DataFrame& table);
// The first index of the least entry of J (0 for an empty J).
std::size_t lowestTrial(const std::valarray<double>& J);

// Accepted trials alpha + delta * 1.7^k, k = 0, 1, ..., as long as each is
// accepted, lies strictly between lo and hi and does not exceed alphamax,
// at most the option block's scan limit of them (none when that limit is
// not positive). Each trial counts as a scan trial ("cS").
DataFrame scanStepLengths(const LineSearchClosure& search, double alpha, double delta, double lo,
                          double hi);

// One sweep: the table sorted by alpha, then the rows of two scans, right
// and left, from the start row that the mode picks ("min": the lowest J;
// "max-diff": the largest relative jump of J to the next row; "max-adiff":
// the largest gap of alpha to the next row), bounded by the neighbouring
// trials. The sweep number is not used for the search.
DataFrame sweepTrials(const LineSearchClosure& search, DataFrame table, unsigned sweep,
                      const std::string& mode);

// The driver's acceptance of a search result along d from x (value f0,
// gradient g): a plausible result (a finite J that is not the no-step
// value; a finite alpha) whose point x + alpha sign d passes the acceptance
// tests, which fill flags with (Armijo, curvature, strong curvature). With
// wolcheck = 0 a plausible result is accepted untested.
bool checkLineSearchPoint(OptimizationTask& task, double f0, const std::valarray<double>& x,
                          const std::valarray<double>& g, const LSResult& result,
                          const std::valarray<double>& d, std::valarray<bool>& flags);
