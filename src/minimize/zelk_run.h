#pragma once
// One run of the minimisation driver, from the host's arguments to its
// status (see include/zelk/zelk.h for the contract).

#include "zelk/zelk.h"

// The arguments of a `zelk` call.
struct ZelkCall {
  const double* x0 = nullptr;
  double* x = nullptr;
  long n = 0;
  double* f = nullptr;
  long m = 0;
  ZelkObjectiveFn objective = nullptr;
  ZelkGradientFn gradient = nullptr;
  ZelkHessianFn hessian = nullptr;
  ZelkHessianProductFn hessianProduct = nullptr;
  ZelkOutputFn output = nullptr;
  const char** names = nullptr;
  const double* values = nullptr;
  long count = 0;
  void* user = nullptr;
};

// The whole run. The caller holds the driver lock. An exception leaves it
// after the last accepted point has been copied into call.x and the host's
// signal dispositions and trap mask have been put back.
int runMinimization(const ZelkCall& call);
