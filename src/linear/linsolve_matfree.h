#pragma once
// The matrix-free linear solve: a method picked by name solves A x = b (or
// the least-squares problem) with A, A^T and a preconditioner given only as
// operators. The methods themselves live in the method table
// (linear/linsolve_method.h).

#include <string>
#include <valarray>

#include "linear/algo_status.h"
#include "linear/sized_operator.h"

namespace Zelk {

// Solves with the method registered under `method` and returns the status map
// (A's options joined under "status", "it", "calls", "residual", "relerr"
// and "wtime") with the solution. y receives A x - b at the solution.
//
// A's options must hold "control" (IterationControl*, may be null) and
// "histcheck" (SolverHistoryChecker*, may be null) as pointers, else
// std::bad_variant_access before anything runs; each method reads its own
// settings from there too ("tol", "maxit", ...), with the same exception for
// a missing or wrongly typed one.
//
// "matrixvectorsolve" (dense only) and names that are not registered print
// "linsolve method <name> has no matfree version", return A's options with
// "status" 256 and an empty solution, and leave y alone.
AlgoStatus linsolve_matfree(const std::string& method, const SizedVectorOperator& A,
                            const SizedVectorOperator& AT, const SizedVectorOperator& P,
                            const std::valarray<double>& b, const std::valarray<double>& x0,
                            std::valarray<double>& y);

// The LinsolveCallbacks bits of the operators that `method` calls; NeedsNone
// for the names that run no solve.
unsigned linsolveCallbacksNeeded(const std::string& method);

// True for the methods that solve A x = b and so need a square A.
bool linsolveNeedsSquare(const std::string& method);

}  // namespace Zelk
