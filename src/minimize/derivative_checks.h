#pragma once
// The derivative checks of the minimisation driver's first iteration: the
// host's objective, gradient, Hessian and Hessian products against each
// other and against finite differences.

#include "minimize/zelk_task.h"

// Runs the checks at it.x (objective it.f, gradient it.g, Hessian it.H when
// it.needHessian), delivers the check record when it holds a value, and
// reports every failed check through zelkStop with code -1. hessProduct:
// the run uses the host's Hessian products.
void checkDerivatives(OptimizationTask& task, const MinimizationIterate& it, bool hessProduct);
