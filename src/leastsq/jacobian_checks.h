#pragma once
// The derivative checks of a least-squares run's first iteration, and the
// Jacobian dumps of every iteration.

#include <valarray>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"

// Checks the host's Jacobian, Jacobian-vector and vector-Jacobian callbacks
// at x (r = F(x), J the iteration's Jacobian, empty without a Jacobian
// callback) against central differences of F, against each other and
// against F itself; delivers the check record when it holds a value and
// reports every failed check through zelkStop with code -1
// (jacobian_checks.cpp).
void checkJacobian(TrovikOptimizationTask& task, const std::valarray<double>& x,
                   const std::valarray<double>& r, const MatrixTemplate<double>& J);

// Writes the Jacobian at x as "Jac" and the iteration number in at least
// four digits (Jac0007) to the MAT-file directory: J itself, or without a
// Jacobian callback (J empty) the matrix built column by column from the
// products with the unit vectors (jacobian_dump.cpp).
void dumpJacobian(TrovikOptimizationTask& task, const std::valarray<double>& x,
                  std::valarray<double>& r, const MatrixTemplate<double>& J, long iteration);
