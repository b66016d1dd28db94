#pragma once
// The Gauss-Newton model of the least-squares objective at a point, as the
// evidence of stationarity reads it (driver/step_evidence.h).

#include <valarray>

#include "dense/matrix.h"

// The decrease of the objective F that the Gauss-Newton model promises at
// its best step: F(r) - F(r - P r), with P r the projection of r onto the
// range of J (m x n). The objectives of "ussum" that are norms of r (1 and
// any value but 2 and 3) have their least value over the model there. The
// range is that of the singular vectors whose singular values are above
// 1e-10 of the largest: directions J scales by less do not change r within
// its rounding (a Jacobian of low rank, as of a model with a redundant
// parameter), and a gradient along them is rounding too. NaN where there
// is no such model: ussum 2 or 3 (sums of r, unbounded below), an empty
// J, a J or r that is not finite, or a decomposition that failed.
double gaussNewtonDecrease(const MatrixTemplate<double>& J, const std::valarray<double>& r);

// The same model along one direction d alone, from q = J d: the decrease
// F(r) - F(r - c q) at the best multiple c = (r.q) / (q.q), the projection
// of r onto q. What a line search along d can get where the model holds;
// one Jacobian-vector product gives it to a run without a Jacobian. NaN
// where there is no such model (as above, or q = 0).
double gaussNewtonLineDecrease(const std::valarray<double>& r, const std::valarray<double>& q);
