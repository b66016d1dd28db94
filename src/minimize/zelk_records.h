#pragma once
// The records of one run of the minimisation driver that only it
// delivers: start (iteration 0), one per iteration, counters. The run
// information, BLAS, check (derivative_checks.cpp) and final records come
// between and after them.

#include "driver/run_records.h"
#include "minimize/zelk_task.h"

// "it" 0, "nx", "J" = f0, "t0", "resume" (enableResume), and the
// reference values.
OutputRecord startRecord(long n, double f0, double t0);

// The values of an iteration's record beside those the iterate holds.
struct IterationSummary {
  long iteration = 0;
  double f = 0.0;       // objective after the step
  double enh = 0.0;     // its decrease
  double fStart = 0.0;  // objective at the start of the iteration
  double nu = 0.0;      // alpha * ||d||
  double gNorm = 0.0;   // ||g|| at the start of the iteration
  double eig0 = 0.0;    // smallest and largest curvature of the iteration
  double eig1 = 0.0;
  double elapsed = 0.0;  // seconds since the run started
};

// 100 eig1 / (eig1 - eig0), 100 when the two are equal; infinite rather
// than a trap for curvatures near the overflow threshold.
double curvatureShare(double eig0, double eig1);

// "it", "J", "Er", "a", "nu", "st", "m", "tj", with "Hc", "dz", "lh" for a
// Hessian decomposition, "b" once a CG coefficient was reported, and the
// trace keys "ng", "nH", "cg", "cgres", "lc", "eg", "eH", "eh".
OutputRecord iterationRecord(const MinimizationIterate& it, const IterationSummary& s);

// The call counters of the run, "cf" to "co".
OutputRecord countersRecord();
