#pragma once
// The stopping rules both drivers test at the end of every iteration.

#include <functional>
#include <string>

// Why a run ends: its stop code, the status `zelk` returns and the exit
// text. code 0: no rule holds, the run goes on.
struct StopReason {
  int code = 0;
  int status = 0;
  std::string exit;
};

// Iterations in a row without progress that a run gets while a direction
// still changes what it carries from one iteration to the next (the lifted
// shift of the matrix-free Newton direction, the trust region's radius):
// the next iteration searches another direction, so the run is declared
// stalled only after this many (at the first when nothing changed).
constexpr int kStalledIterationsWhileStateChanges = 10;

// What one iteration gives the rules.
struct StopTestValues {
  double elapsed = 0.0;  // wall-clock seconds since the run started
  long iteration = 0;
  double nu = 0.0;       // alpha * ||d||, the length of the step tried
  double normX = 0.0;    // ||x|| at the start of the iteration
  double enh = 0.0;      // decrease of the objective by the step
  double fStart = 0.0;   // objective at the start of the iteration
  double gNorm = 0.0;    // ||g|| at the start of the iteration
  // false: no gradient (or Jacobian) was evaluated; rules 25 and 26 are left out.
  bool haveGradient = true;
  double alpha = 0.0;    // step factor
  double dNorm = 0.0;    // ||d|| of the chosen direction
  double f = 0.0;        // objective after the step
  double f0 = 0.0;       // objective at the start point
  int outputAnswer = 0;  // the output callback's answer to the iteration record
  // false: the iteration made no progress: it ended where it started (no
  // step was found, the step was refused, or it was too short to change
  // x), or its step lowered f by no more than the rounding can explain.
  bool progressed = true;
  // Read only when the iteration made no progress: its point is stationary
  // within the objective's rounding (driver/step_evidence.h), and whether
  // the objective there or at every trial was not finite.
  bool stationary = true;
  bool objectiveNotFinite = false;
  // A stalled iteration that the next one retries with something that can
  // still change (a restarted direction, a shift or radius carried over).
  bool retry = false;
  // The step's length was set by a trust region's radius, not by the
  // model or the search: the rules on the step (21 to 24, 26) say nothing
  // about convergence then.
  bool stepSetByRadius = false;
  // Asked only when a rule on the step would hold after an iteration that
  // made progress (its answer may cost a decomposition): the step was a
  // sliver of what the driver's local model promised
  // (StepEvidence::crawled), so the rules on the step say nothing about
  // convergence either. Empty: no model.
  std::function<bool()> crawled = nullptr;
};

// The first rule that holds, in this order:
//   11 "maxrt reached" (1)        elapsed > maxrt
//   12 "maxit reached" (1)        iteration >= maxit
//   33 "error occurred" (1)       the run state records an error
//   21 "tolStepAbs reached" (0)   tolStepAbs > |nu|                   (step rule)
//   22 "tolStepRel reached" (0)   tolStepRel > |nu / normX|           (step rule)
//   23 "tolEnhAbs reached" (0)    tolEnhAbs > |enh|                   (step rule)
//   24 "tolEnhRel reached" (0)    tolEnhRel > |enh / fStart|          (step rule)
//   25 "tolGradAbs reached" (0)   tolGradAbs > gNorm                  (with a gradient)
//   26 "tolGradRel reached" (0)   tolGradRel > |gNorm * alpha * dNorm|  (with a gradient,
//                                                                      step rule)
//   27 "tolObjAbs reached" (0)    tolObjAbs > v,  v = |f - objLimit|
//   28 "tolObjRel reached" (0)    tolObjRel > v / |f0 - objLimit|
//   29 "objLimRel reached" (0)    objLimit != 0 and tolLimRel > v / |objLimit|
//   30 "user interrupt" (1)       the stop bit of the request word
//   31 "stop file exists" (1)     enableStopFile and "stop.txt" opens for reading
//   32 "stop code set" (answer, 0 for 1)  the output callback answered non-zero
//   34 "stalled before a stationary point" (1)   stalled, not retried
//   35 "stalled on a non-finite objective" (1)   stalled there, not retried
// An error comes before the tolerance rules, so that a run whose
// derivatives or callbacks failed is never reported as converged. A NaN on
// either side of a comparison never makes a rule hold, and a relative rule
// whose denominator is 0 does not hold either.
//
// An iteration is stalled when it made no progress from a point that is
// not stationary. The rules on the step would hold for any step of length
// 0 and say nothing there, so a stalled iteration skips them, and so do
// a step whose length the trust region's radius set and a step that
// crawled (a sliver of what the local model promised); the rules on the
// point (25, 27 to 29) still hold. The host's own requests (30 to 32) keep
// their outcomes in a stalled iteration; one that cannot be retried then
// ends the run with 35 when the objective was not finite, else 34.
StopReason testStoppingRules(const StopTestValues& v);
