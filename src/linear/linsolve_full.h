#pragma once
// The dense linear solve: A is a matrix in memory. The dense least-squares
// methods "matrixvectorsolve" / "mvsolve" are solved here with LAPACK; every
// other method runs matrix-free on products with A.

#include <string>
#include <valarray>

#include "dense/matrix.h"
#include "linear/algo_status.h"
#include "linear/sized_operator.h"

namespace Zelk {

// Solves A x = b (least squares when A is tall) with the named method and
// returns the status map (options joined under "status", "it", "calls",
// "residual", "relerr", "wtime") with the solution; y receives A x - b.
//
// "matrixvectorsolve" / "mvsolve": LAPACKE_dgelsd at rcond 1e-15 when
// rows >= cols, reporting "Solve LS: rank r of n" on standard error, with
// LAPACK's info as "status" and the rank as "it"; with rows < cols x0 is
// returned unsolved. Other methods: Zelk::linsolve_matfree on y = A x,
// y = A^T x and the identity, each carrying a copy of options.
//
// options must hold "control" as a pointer (may be null), else
// std::bad_variant_access. b must have A.rows and x0 A.cols values
// (std::invalid_argument otherwise).
AlgoStatus linsolve_full(const std::string& method, const MatrixTemplate<double>& A,
                         const std::valarray<double>& b, const std::valarray<double>& x0,
                         std::valarray<double>& y, const SizedOperator& options);

}  // namespace Zelk
