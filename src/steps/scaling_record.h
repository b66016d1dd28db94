#pragma once
// The trust-region scaling of the Levenberg-Marquardt steps: the scaling
// diagonal D (one entry per variable) and the trust radius Delta. The
// least-squares driver owns it for the whole run and updates both between
// steps; the step solvers hold a reference and only read it.

#include "dense/matrix.h"

struct ScalingRecord {
  DiagMatrixTemplate<double> D;
  double Delta = 0.0;
  // D has been set from a Jacobian: by the first trust-region step of the
  // run, whichever iteration that is (D starts as zeros).
  bool initialised = false;
};
