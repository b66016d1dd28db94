#pragma once
// The stopping rules of the least-squares driver, tested at the end of
// every iteration.

#include "driver/stopping_rules.h"

// The first rule that holds. A recorded error ("error" of the run state,
// left by zelkStop or a non-finite callback value with enableExit off)
// comes first: 33 "error occurred", status 1, so that no tolerance rule
// reports such a run as converged. Then the rules of the minimisation
// driver in their order, 11 "maxrt reached" to 31 "stop file exists" and
// the stalls 34 and 35 (there is no 32), with the Jacobian's Frobenius
// norm as the gradient norm: rules 25 and 26 only for a Jacobian the
// iteration evaluated (haveGradient).
StopReason trovikStoppingRules(const StopTestValues& v);
