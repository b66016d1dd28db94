#pragma once
// The noise of the least-squares objective at a point, as the stationarity
// evidence reads it (driver/step_evidence.h, StepEvidence::setNoise).
//
// Each residual r_i carries the rounding of the terms the host computed it
// from (about eps |y_i| for a model fitted to data y), not of r_i itself,
// so near a fit with small residuals the objective varies from point to
// point far more than eps |F|. The driver does not see those terms; it
// sees what they do. At x' = x + h, h_j = 4 eps x_j (a few units in the
// last place of each entry, where the second-order change and any error
// of J are far below rounding),
//
//     e = (F(x') - F(x) - J h) / sqrt(2)
//
// is what the rounding of the two evaluations left, per residual (their
// difference, scaled to one). The objective's noise is then what e does to
// it: for the norms of "ussum" (F = s ||r||) the first-order change
// s |r.e| / ||r||, taken as its typical size s sqrt(sum (r_i e_i)^2) / ||r||,
// plus the second-order s ||e||^2 / ||r|| that takes over near a root, and
// never more than s ||e||; for the sums (ussum 2 and 3) the typical size
// of the sum of e, ||e|| (over m for 3).
//
// Cost: one residual evaluation, and one Jacobian-vector product when the
// run has no Jacobian. 0 where nothing was measured: x = 0 (no relative
// step), or a value of the host's that is not finite.

#include <valarray>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"

// r = F(x); J the iteration's Jacobian at x, empty for a run on products.
double objectiveNoise(TrovikOptimizationTask& task, const std::valarray<double>& x,
                      const std::valarray<double>& r, const MatrixTemplate<double>& J);
