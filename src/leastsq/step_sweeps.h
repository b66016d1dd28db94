#pragma once
// Step lengths on a base-10 logarithmic scale for the least-squares line
// searches, which do not bracket and interpolate but pick from many trials.
//
// sweepStepLengths: three sweeps of 48 step lengths each, from hi down to
// lo. The first spans hi = 1 .. lo = 1e-12; after each sweep the range
// narrows around the best step a* of all trials so far, by q = the fourth
// root of hi / lo on each side: lo = a* / q, hi = min(a* q, 1). So the
// second sweep spans three decades on each side of a*, the third about
// 0.85. A sweep without any finite trial keeps its range. Trials carry their
// slope only from "wolcheck" 2 on, where the codes need it.
//
// evalStepGrid: 12 step lengths from max(a, "alphamin") to b (descending
// when b is the smaller). A step length already in the search's trial cache
// (a cached one at most 1e-12 above it) is moved to the midpoint towards
// the next larger cached one, or to 1.1 times itself when none is larger,
// so that a grid never repeats an evaluation. Every trial goes to the cache
// and to recordLineSearchPoint. A grid end that is not a positive double
// (an "alphamin" of 0 or below, say) is taken as the smallest positive
// normal double, one beyond the largest double as the largest.
//
// Both return a trial table (trial_table.h) with "d" = 0 in every row, in
// evaluation order.

#include <string>

#include "dense/dataframe.h"
#include "leastsq/line_search_context.h"

DataFrame sweepStepLengths(LineSearchContext& context);

DataFrame evalStepGrid(double a, double b, LineSearchContext& context, const std::string& name);

// Step length k of `count` spaced evenly in log10 from `from` to `to`
// (both positive): 10^(log10(from) + k (log10(to) - log10(from)) / (count - 1)).
double logSpacedStep(double from, double to, int k, int count);
