#include "leastsq/trovik_records.h"

#include <cmath>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "driver/run_records.h"
#include "leastsq/record_setters.h"
#include "options/global_state.h"
#include "options/opts.h"

IterationRecord trovikStartRecord(std::size_t n, double f0, double t0) {
  IterationRecord r;
  setRecordInt(r, "it", 0);
  setRecordInt(r, "nv", static_cast<long long>(n));
  setRecordDouble(r, "J", f0);
  setRecordDouble(r, "t0", t0);
  setRecordDouble(r, "tr", 0.0);
  if (state.resumed != 0) setRecordInt(r, "resume", 1);
  setReferenceValues(r);
  return r;
}

IterationRecord trovikVersionRecord() { return runInfoRecord("TROVIK-2026.7.1527"); }

IterationRecord trovikIterationRecord(const TrovikIterationSummary& s) {
  const unsigned trace = opts.trace;
  IterationRecord r;
  setRecordInt(r, "it", s.iteration);
  setRecordDouble(r, "J", s.J);
  if (trace & 0x1) setRecordDouble(r, "E", s.enhancement);
  if (trace & 0x2) setRecordDouble(r, "nJ", s.jacobianNorm);
  setRecordDouble(r, "d", quietly([&] { return 1000.0 * s.slope; }));
  setRecordDouble(r, "a", quietly([&] { return 1000.0 * s.stepLength; }));
  setRecordDouble(r, "nu", s.stepNorm);
  setRecordDouble(r, "Er", enhancementPerMille(s.enhancement, s.before));
  setRecordInt(r, "st", s.code | state.status);
  r["m"] = sdname(s.kind);
  if (trace & 0x2) {
    setRecordInt(r, "cz", state.zeroColumns());
    if (state.innerIterations >= 0 || quietGreaterEqual(state.innerResidual, 0.0)) {
      setRecordInt(r, "cg", state.innerIterations);
      if (trace & 0x20) setRecordDouble(r, "cgres", state.innerResidual);
    }
  }
  if (trace & 0x4) {
    setRecordDouble(r, "lc", state.lmFinalAlpha());
    if (quietGreaterEqual(state.lmStats(0), 0.0)) setRecordDouble(r, "r", state.lmStats(0));
    if (quietGreaterEqual(state.lmStats(1), 0.0)) setRecordDouble(r, "p", state.lmStats(1));
    if (state.lmRank() >= 0) setRecordInt(r, "o", state.lmRank());
    if (quietGreaterEqual(state.trustRadius(), 0.0)) setRecordDouble(r, "D", state.trustRadius());
  }
  if (trace & 0x100) {
    setRecordDouble(r, "tJ", state.lastEvalTime);
    setRecordDouble(r, "tJv", state.lastCallbackTime());
  }
  setRecordDouble(r, "tj", s.now);
  setRecordDouble(r, "tr", s.now - s.t0);
  setRecordDouble(r, "e1", state.maxEigenEstimate());
  return r;
}

IterationRecord trovikCountersRecord() {
  IterationRecord r;
  setRecordInt(r, "cf", state.residualCalls());
  setRecordInt(r, "cJ", state.jacobianCalls());
  setRecordInt(r, "cJfd", state.nFdJac);
  setRecordInt(r, "cJv", state.jvCalls());
  setRecordInt(r, "cJvfd", state.fdJvCalls());
  setRecordInt(r, "cJtw", state.vjCalls());
  setRecordInt(r, "cW", state.sweepEvaluations());
  setRecordInt(r, "cS", state.refineEvaluations());
  setRecordInt(r, "co", state.iterationCalls());
  return r;
}
