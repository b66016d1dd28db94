#pragma once
// The floor of the trust-region scaling diagonal.
//
// The Levenberg-Marquardt steps divide by D (the large-damping step
// g_i / (alpha D_i^2), the bound ||D^-1 J^T r||) and use d = alpha D^2 as a
// preconditioner, so every entry must be strictly positive and finite. The
// one rule, used by the step solvers and by the trust-region directions
// that update D:
//
//     D_i <- max(D_i, 1e-12 max_j D_j),
//
// and D = 1 throughout when max_j D_j is 0, negative or not finite (an
// entry that is NaN or infinite makes it so; no entry then says anything
// about the scale). The floor itself is kept at least DBL_MIN, so that
// 1 / D_i stays finite.

#include <valarray>

// Applies the floor to D in place.
void floorScalingDiagonal(std::valarray<double>& D);

// The floored copy of D.
std::valarray<double> flooredScalingDiagonal(const std::valarray<double>& D);
