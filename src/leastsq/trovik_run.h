#pragma once
// One run of the least-squares driver, from the host's arguments to its
// status (see include/zelk/trovik.h for the contract).

#include <cstddef>

#include "zelk/trovik.h"

// The arguments of a `trovik` call.
struct TrovikCall {
  const double* x0 = nullptr;
  double* x = nullptr;
  std::size_t n = 0;
  double* r = nullptr;
  std::size_t m = 0;
  TrovikResidualFn residual = nullptr;
  TrovikJacobianFn jacobian = nullptr;
  TrovikJvFn jv = nullptr;
  TrovikVJFn vj = nullptr;
  TrovikIterationFn iteration = nullptr;
  const char** names = nullptr;
  const double* values = nullptr;
  long count = 0;
  void* user = nullptr;
};

// The whole run. The caller holds the driver lock. An exception leaves it
// after the point and residuals last reported have been copied into the
// host's x and r, and with the monitor stopped and the host's signal
// dispositions and trap mask back.
int runTrovik(const TrovikCall& call);
