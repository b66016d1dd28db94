#pragma once
// The update of the trust-region scaling diagonal D from the column sums of
// the Jacobian, the rule both Levenberg-Marquardt solvers share (the dense
// one sums the columns of J, the matrix-free one forms J^T 1).
//
// With a_j = |sum_i J_ij| and the mode "lmdmode":
//
//     mode 0   D_j = 1
//     mode 1   D_j = max(a_j, D_j)
//     mode 2   D_j = max(sqrt(a_j), D_j)
//     mode 3   D_j = max(cbrt(a_j), D_j)
//     mode 4   D_j = max(log(a_j), D_j), for a_j > 0 only: a zero sum
//              would give log(0) = -inf, and keeps D_j
//     other    D_j = max(b_j, D_j), b_j a caller's measure of the column
//              (the dense solver's ||J_.j||, the matrix-free one's a_j)
//
// A result that is not positive (or NaN) becomes 0 for the modes other than
// 0, and then the floor of scaling_floor.h makes every entry positive
// again: D_i >= 1e-12 max D, and D = 1 when max D is 0 or not finite (all
// column sums 0, as for centred data). Columns with a_j < 1e-20 count as
// zero; their number goes to the run state's zeroColumns().

#include <cstdint>
#include <valarray>

// Updates D (n entries) from the column sums (n entries) and, for the other
// modes, the measures `other` (null: |sum|), floors it, stores the count of
// zero columns in the run state and returns it.
std::int32_t updateScalingDiagonal(int mode, const std::valarray<double>& sums,
                                   const std::valarray<double>* other, std::valarray<double>& D);
