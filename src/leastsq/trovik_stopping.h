#pragma once
// The stopping rules of the least-squares driver, tested at the end of
// every iteration.

#include "minimize/stopping_rules.h"

// What an iteration gives the rules.
struct TrovikStopValues {
  double elapsed = 0.0;  // seconds since the run started
  long iteration = 0;
  double stepNorm = 0.0;       // s ||d||
  double normX = 0.0;          // ||x|| after the step
  double enhancement = 0.0;    // objective before the step minus after
  double before = 0.0;         // objective before the step
  bool haveJacobian = false;   // the iteration evaluated J
  double jacobianNorm = 0.0;   // ||J||_F
  double stepLength = 0.0;     // s
  double directionNorm = 0.0;  // ||d||
  double J = 0.0;              // objective after the step
  double f0 = 0.0;             // objective at the start point
};

// The first rule that holds. A recorded error ("error" of the run state,
// left by zelkStop or a non-finite callback value with enableExit off)
// comes first: 33 "error occurred", status 1, so that no tolerance rule
// reports such a run as converged. Then the rules of the minimisation
// driver (testStoppingRules) in their order, 11 "maxrt reached" to 31
// "stop file exists", with the Jacobian's Frobenius norm for the gradient
// norm: rules 25 and 26 only for a Jacobian the iteration evaluated.
StopReason trovikStoppingRules(const TrovikStopValues& v);
