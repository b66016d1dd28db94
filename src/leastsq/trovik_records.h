#pragma once
// The records of one least-squares run, in the order the run delivers
// them: start, version, BLAS (shared with the minimisation driver), the
// derivative-check record (jacobian_checks.cpp), one per iteration,
// counters, final (shared too). Every record goes to the run's history and
// to the host's iteration callback.

#include <string>

#include "httpd/monitor_data.h"
#include "options/search_dir.h"

// "it" 0, "nv" n, "J" f0, "t0", "tr" 0, "resume" "1" when the run resumed,
// and the reference values under trace bit 0x1.
IterationRecord trovikStartRecord(std::size_t n, double f0, double t0);

// "version" "TROVIK-2026.7.1527", with the build information under trace
// bit 0x100 and INFO set.
IterationRecord trovikVersionRecord();

// What an iteration reports beside the run state.
struct TrovikIterationSummary {
  long iteration = 0;
  double J = 0.0;             // objective after the iteration (the old one after a refused step)
  double enhancement = 0.0;   // objective before minus after
  double before = 0.0;        // objective before the step
  double jacobianNorm = 0.0;  // ||J||_F, 0 without a Jacobian
  double slope = 0.0;         // the winning line search's slope, 0 without one
  double stepLength = 0.0;    // s
  double stepNorm = 0.0;      // s ||d||
  int code = 0;               // the winning line search's Wolfe code
  SearchDir kind = SearchDir::None;
  double now = 0.0;  // wall clock, seconds since the epoch
  double t0 = 0.0;   // the same at the start of the run
};

// Always "it", "J", "d" (1000 slope), "a" (1000 s), "nu", "Er" (1000
// enhancement / before; 0 when before is 0), "st" (the code with the run
// state's status bits), "m", "tj", "tr", "e1"; under trace bit 0x1 "E";
// 0x2 "nJ", "cz", and "cg" (with "cgres" under 0x20) once an inner solve
// reported; 0x4 "lc" and those of the trust-region values "r", "p", "o",
// "D" that are not negative; 0x100 "tJ", "tJv".
IterationRecord trovikIterationRecord(const TrovikIterationSummary& s);

// The run's call counters "cf", "cJ", "cJfd", "cJv", "cJvfd", "cJtw", "cW",
// "cS", "co".
IterationRecord trovikCountersRecord();
