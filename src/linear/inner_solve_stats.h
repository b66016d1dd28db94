#pragma once
// The run-state record of inner linear solves: a running total of their
// iterations and the relative residual of the last one.

#include <cstdint>

// Adds iterations to state.innerIterations, saturating at the limits of its
// 32-bit type instead of overflowing, and stores residual in
// state.innerResidual.
void recordInnerSolve(std::int64_t iterations, double residual);
