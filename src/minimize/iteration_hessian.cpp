// The iteration's Hessian of the minimisation driver: the host's Hessian
// made symmetric and checked, and its eigen decomposition, which the run
// frame and the choice of direction both ask for.

#include <cstddef>

#include "dense/quiet_scope.h"
#include "driver/driver_errors.h"
#include "minimize/zelk_task.h"
#include "options/opts.h"

void evaluateIterationHessian(OptimizationTask& task, MinimizationIterate& it) {
  HessianValues held;
  it.H = evalHessian(task, it.x, it.g, &held);
  it.hessianEvaluated = true;
  const std::size_t entries = it.H.elements.size();
  const char* message = nonFiniteMessage(held.hessian);
  if (message == nullptr) message = nonFiniteMessage(held.gradient);
  if (message == nullptr) {
    it.H = quietly([&] { return mksym(it.H); });
    message = nonFiniteValues(it.H.data(), entries);
  }
  if (message != nullptr) {
    nonFiniteStop(task.host, message);
    return;
  }
  it.hessianFinite = true;
}

void decomposeIterationHessian(MinimizationIterate& it) {
  if (it.decomposition || !it.hessianFinite) return;
  it.decomposition.emplace(it.H, decompChecks());
  if (it.decomposition->lapackInfo != 0) it.decomposition.reset();
}
