#pragma once
// The minimisation driver's line search (line_search.cpp, step_scan.cpp):
// the step-length scans and sweeps that widen the table of accepted trials,
// and the driver's check of a finished search. The acceptance tests at one
// trial step are in trial_tests.h.

#include <cstddef>
#include <string>
#include <valarray>

#include "dense/dataframe.h"
#include "driver/ls_result.h"
#include "minimize/trial_tests.h"

class OptimizationTask;

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
