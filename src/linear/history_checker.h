#pragma once
// Watches the relative residual of an iterative solve, one value per
// iteration, and asks the solve to stop (through its IterationControl) on a
// NaN, an infinite value, slow convergence or a cycle. Each finding prints
// one message to standard error.
//
// A cycle shows up as a peak in the spectrum of the recent values: the
// window of the last `histlen` values, mean removed, zero-padded to twice
// its length, Blackman-Harris windowed and transformed (bins 0 .. N).
//
// The window, call count and rates carry over from call to call for the
// checker's whole life: consecutive solves that share a checker are seen as
// one history.

#include <cstdint>
#include <vector>

#include "linear/iteration_control.h"
#include "linear/sized_operator.h"

class SolverHistoryChecker {
 public:
  std::int64_t histlen = 32;  // window length, at least 1
  double slowtol = 1e-4;      // slow convergence when the smoothed rate is below
  double cycletol = 0.5;      // the cycle test runs only while this is > 0
  double estalpha = 0.9;      // smoothing factor of the rate
  std::int64_t count = 0;     // reportIntermediate calls so far
  double lastResidual = 0.0;
  double lastRate = 0.0;
  double smoothedRate = 0.0;
  std::vector<double> history;  // most recent values, oldest first

  // Reads "histlen" (long), "slowtol", "cycletol" and "estalpha" (double)
  // from the operator's options; for each the key prefixed "itctrl." wins
  // over the plain key, and the default above applies when neither is
  // present. A key of another kind raises std::bad_variant_access. A histlen
  // below 1 is taken as 1.
  explicit SolverHistoryChecker(const SizedOperator& options);

  // Records the relative residual of one iteration and reports findings to
  // standard error and, when control is not null, into control.
  void reportIntermediate(double value, IterationControl* control);

 private:
  void checkCycle(IterationControl* control) const;
};
