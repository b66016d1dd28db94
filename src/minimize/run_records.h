#pragma once
// The records of one run of the minimisation driver, in the order it
// delivers them: start (iteration 0), run information, BLAS, the check
// record (derivative_checks.cpp), one per iteration, counters, final.

#include <string>

#include "minimize/optimization_task.h"
#include "minimize/records.h"

// "it" 0, "nx", "J" = f0, "t0", "resume" (enableResume), and the
// reference values.
OutputRecord startRecord(long n, double f0, double t0);

// The reference values of a start record, under trace bit 0x1: "Jbest",
// with "Jbias", "Jmin", "Jmax" where positive.
void setReferenceValues(OutputRecord& r);

// "version" (the driver's version tag); under trace bit 0x100 with INFO
// set in the environment the build information "file", "date", "time",
// "march".
OutputRecord runInfoRecord(const char* version = "ZELK-2026.7.1527");

// "OpenBLAS", "core", "config", "np", "nt", "par".
OutputRecord blasRecord();

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

// 1000 enh / fStart, 0 when fStart is 0 (no relative change to measure).
double enhancementPerMille(double enh, double fStart);

// 100 eig1 / (eig1 - eig0), 100 when the two are equal; infinite rather
// than a trap for curvatures near the overflow threshold.
double curvatureShare(double eig0, double eig1);

// "it", "J", "Er", "a", "nu", "st", "m", "tj", with "Hc", "dz", "lh" for a
// Hessian decomposition, "b" once a CG coefficient was reported, and the
// trace keys "ng", "nH", "cg", "cgres", "lc", "eg", "eH", "eh".
OutputRecord iterationRecord(const MinimizationIterate& it, const IterationSummary& s);

// The call counters of the run, "cf" to "co".
OutputRecord countersRecord();

// "J", "it", "status", "code", "exit".
OutputRecord finalRecord(double f, long iteration, int status, int code, const std::string& exit);
