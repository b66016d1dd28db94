#pragma once
// The closing check of the least-squares methods ("lsrn", "lsrn2",
// "lsrnreg"): whether x solves min ||A x - b||^2 + s^2 ||x||^2 (s = 0 but
// for "lsrnreg"), judged by the backward-error tests least-squares solvers
// stop by (Paige and Saunders, LSQR, ACM TOMS 8, 1982), from fresh products
// and an estimate of ||A|| from above. It is the least-squares problem of
// the stacked matrix [A; s I] and [b; 0], in whose terms the tests run:
// rbar = [A x - b; s x], gbar = A^T (A x - b) + s^2 x, ||[A; s I]|| =
// hypot(||A||, s).

#include <cstddef>
#include <valarray>

#include "linear/linsolve_method.h"

namespace Zelk {

// The power steps of the estimate of ||A||, one product with A and one
// with A^T each.
inline constexpr int kNormPowerSteps = 4;

// ||A|| from above, within a factor 2, for A with n columns: power steps on
// A^T A from `start` (from a random start when it does not have n entries
// or has no direction). NaN when a product is not finite.
double normFromAbove(const SizedVectorOperator& A, const SizedVectorOperator& AT,
                     std::valarray<double> start, std::size_t n);

// Whether the claimed answer a.x, with A x from the closing product and
// r = A x - b, passes one of the tests; they cost one product with A^T
// (for gbar) and the 2 kNormPowerSteps of normFromAbove. Anything not
// finite (x, A x, r, s^2, a product, ||A||, the sizes of the tests) fails.
bool leastSquaresAnswerHolds(const LinsolveContext& c, const LinsolveAnswer& a,
                             const std::valarray<double>& Ax, const std::valarray<double>& r);

}  // namespace Zelk
