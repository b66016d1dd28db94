#pragma once
// Single-vector eigenvalue iterations on a symmetric operator:
//
//   Zelk::maxeigen   shifted power iteration, the eigenvalue of largest
//                    magnitude of A + shift I (reported for A);
//   Zelk::mineigen   inverse iteration, each step a CG solve with
//                    A + shift I: the eigenvalue nearest to -shift.
// Both run the power steps of linear/power_steps.h, which also holds the
// plain iteration for the dominant eigenpair, maxEigenPair.
//
// maxeigen and mineigen read "shift" (double, 0), "tol" (double, 1e-14),
// "maxit" (long, 1000), "control" (pointer, required) and, mineigen only,
// "maxe" (double; absent or 0 means "compute it") from the operator's
// options. They return the status map "status", "it", "calls", "residual",
// "wtime" joined with those options, as AlgoStatus reads it.

#include <valarray>

#include "linear/sized_operator.h"
#include "options/option_map.h"

namespace Zelk {

// x: the start vector on entry, the last (unit) iterate on return.
// eigenvalue (may be null) receives the Rayleigh quotient of A at x.
OptionMap maxeigen(const SizedVectorOperator& A, std::valarray<double>& x, double* eigenvalue);
OptionMap mineigen(const SizedVectorOperator& A, std::valarray<double>& x, double* eigenvalue);

}  // namespace Zelk
