#pragma once
// The noise of the residuals at a point, and what it does to the
// least-squares objective.
//
// Each residual r_i carries the rounding of the terms the host computed it
// from (about eps |y_i| for a model fitted to data y, eps |b0| for a model
// with a large constant part b0), not of r_i itself, so near a fit with
// small residuals each residual scatters from point to point far more than
// eps |r_i|. The driver does not see those terms; it measures what they
// do, residual by residual, by the difference table of
// driver/noise_estimate.h along one line through x (a residual that does
// not change at all has none). A residual it cannot measure keeps the
// floor eps |r_i| / 4, below the rounding any computed value carries
// (half a unit in its last place, whose spread is about a third of
// eps |r_i|), so a floor never makes the noise look larger than it is.
//
// The objective's noise follows from the residuals': for the norms of
// "ussum" (F = s ||r||) the first-order change s |r.e| / ||r|| for noise e,
// taken as its typical size s sqrt(sum (r_i sigma_i)^2) / ||r||, plus the
// second-order s ||sigma||^2 / ||r|| that takes over near a root, never
// more than s ||sigma||; for the sums (ussum 2 and 3) ||sigma|| (over m
// for 3).

#include <valarray>

#include "leastsq/trovik_task.h"

struct ResidualNoise {
  std::valarray<double> sigma;  // per residual: measured, or its floor
  bool measured = false;        // some residual was measured
};

// The floors alone.
ResidualNoise residualRoundingFloor(const std::valarray<double>& r);

// Measured at x, where r = F(x) (finite): 6 to 18 residual evaluations,
// counted as the host's.
ResidualNoise measureResidualNoise(TrovikOptimizationTask& task, const std::valarray<double>& x,
                                   const std::valarray<double>& r);

// The noise of the objective of "ussum" at r (above).
double objectiveNoise(const std::valarray<double>& r, const std::valarray<double>& sigma);

// The noise of ||r|| alone: objectiveNoise without the scale of "ussum".
double normNoise(const std::valarray<double>& r, const std::valarray<double>& sigma);
