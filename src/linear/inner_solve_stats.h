#pragma once
// The run-state record of inner linear solves: a running total of their
// iterations and the relative residual of the last one.
//
// Solves may run on several threads at once (component calls from a
// threaded host), so both fields of the process-wide state are only ever
// written through atomic operations here; they keep their plain types in
// the run-state record.

#include <cstddef>
#include <cstdint>
#include <valarray>

// Adds iterations to state.innerIterations, saturating at the limits of its
// 32-bit type instead of overflowing, and stores residual in
// state.innerResidual.
void recordInnerSolve(std::int64_t iterations, double residual);

// The solution of a system with b = 0 (n zeros, exact), recorded as an
// inner solve of no iterations with residual 0: the CG solvers return it at
// once instead of dividing by ||b||.
std::valarray<double> zeroSolution(std::size_t n);

// Both fields to 0: the start of a direction's count of inner solves.
void resetInnerSolves();

// Sets state.innerIterations to the count of one solve (the lifted CG's
// rule: the last solve's count, not a total).
void setInnerIterations(std::int32_t iterations);
