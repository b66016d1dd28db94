#pragma once
// The objective of the least-squares driver: one number reduced from the
// residual vector r (m entries), by the option "ussum", and its slope along
// a line. The driver, the line searches and the search directions all
// reduce through evalFunc, so that they agree on what the objective is; the
// driver's start slope and the line searches' trial slopes all come from
// objectiveSlope, so that the Wolfe tests compare values and slopes of the
// same function.
//
//   ussum 1 (default)   F = 1000 ||r||_2 / m
//   ussum 2             F = sum_i r_i              (first entry to last)
//   ussum 3             F = savesum(r) / m
//   any other value     F = ||r||_2
//
// The norms are normfro's: the squares summed from the last entry to the
// first, rescaled only where the squares would overflow or underflow, so
// that residuals up to the largest double give a finite norm. Every formula
// runs without trapping: a NaN or infinite residual gives its IEEE value.
// With m = 0, ussum 1 and 3 give NaN (0 / 0), the others 0.

#include <valarray>

// F(r) under the current "ussum".
double evalFunc(const std::valarray<double>& r);

// The sum of v's entries added in ascending order of value (signed), from
// the smallest on, so that small entries meet each other before they meet
// the large ones: (1e16, 1, 1) sums to 1e16 + 2. NaN when an entry is NaN;
// 0 for an empty v.
double savesum(const std::valarray<double>& v);

// dF/dt of F(r + t q) at t = 0, where q = J d is the Jacobian times a
// direction (so r + t q is the residual along x + t d to first order):
//
//   ussum 1             1000 / m * (r . q) / ||r||
//   ussum 2             sum_i q_i
//   ussum 3             sum_i q_i / m
//   any other value     (r . q) / ||r||
//
// (r . q) / ||r|| is taken as (r / ||r||) . q, which cannot overflow
// before the result does. At r = 0 the norm has no slope; 0 is returned
// there: a root is a minimum of the norm.
double objectiveSlope(const std::valarray<double>& r, const std::valarray<double>& q);

// The weights w (m entries) with dF/dt = w . q for the q above, so that the
// objective's gradient is J^T w: 1000 / m * r / ||r|| for ussum 1, ones for
// 2, 1 / m for 3, r / ||r|| otherwise (zeros at r = 0, as for the slope).
std::valarray<double> objectiveWeights(const std::valarray<double>& r);
