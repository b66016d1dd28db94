#include "minimize/zelk_records.h"

#include <cmath>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "options/global_state.h"
#include "options/opts.h"

OutputRecord startRecord(long n, double f0, double t0) {
  OutputRecord r;
  setRecord(r, "it", 0);
  setRecord(r, "nx", static_cast<long long>(n));
  setRecord(r, "J", f0);
  setRecord(r, "t0", t0);
  if (opts.enableResume != 0) setRecord(r, "resume", 1);
  setReferenceValues(r);
  return r;
}

double curvatureShare(double eig0, double eig1) {
  if (eig1 == eig0) return 100.0;
  return quietly([&] { return 100.0 * eig1 / (eig1 - eig0); });
}

OutputRecord iterationRecord(const MinimizationIterate& it, const IterationSummary& s) {
  const unsigned trace = opts.trace;
  const DecomposedSymMatrix_syevd* hess = it.decomposition ? &*it.decomposition : nullptr;
  OutputRecord r;
  setRecord(r, "it", static_cast<long long>(s.iteration));
  setRecord(r, "J", s.f);
  setRecord(r, "Er", enhancementPerMille(s.enh, s.fStart));
  setRecord(r, "a", quietly([&] { return 1000.0 * it.alpha; }));
  setRecord(r, "nu", s.nu);

  int status = state.status;
  if (quietLess(s.enh, 0.0)) status |= 0x1;
  if (it.sign < 0) status |= 0x2;
  if (!it.flags[0] || !it.flags[1]) status |= 0x4;
  if (!it.flags[0] || !it.flags[1] || !it.flags[2]) status |= 0x8;
  setRecord(r, "st", status);
  setRecord(r, "m", sdname(it.chosenKind));

  if (hess != nullptr) {
    double smallest = INFINITY, largest = 0.0;
    for (double v : hess->s) {
      smallest = std::fmin(smallest, std::fabs(v));
      largest = std::fmax(largest, std::fabs(v));
    }
    setRecord(r, "Hc", relativeError(smallest, largest));
    if (opts.checkdecomp != 0 && (trace & 0x800)) setRecord(r, "dz", hess->relErrRecon);
  }
  if (trace & 0x20) {
    setRecord(r, "ng", s.gNorm);
    if (hess != nullptr || s.eig0 != 0.0 || s.eig1 != 0.0) setRecord(r, "nH", s.eig1);
  }
  if ((trace & 0x2) && state.innerIterations != 0) {
    setRecord(r, "cg", state.innerIterations);
    if (trace & 0x20) setRecord(r, "cgres", state.innerResidual);
  }
  if ((trace & 0x2) && state.lowestCurvature() != 0.0) setRecord(r, "lc", state.lowestCurvature());
  if (trace & 0x400) {
    if (state.lastEvalTime != 0.0) setRecord(r, "eg", state.lastEvalTime);
    if (state.lastHessTime != 0.0) setRecord(r, "eH", state.lastHessTime);
    if (state.lastHessProductTime != 0.0) setRecord(r, "eh", state.lastHessProductTime);
  }
  if (hess != nullptr || (s.eig0 != 0.0 && s.eig1 != 0.0))
    setRecord(r, "lh", curvatureShare(s.eig0, s.eig1));
  if (!std::isnan(it.beta)) setRecord(r, "b", it.beta);
  setRecord(r, "tj", s.elapsed);
  return r;
}

OutputRecord countersRecord() {
  OutputRecord r;
  setRecord(r, "cf", state.nFunc);
  setRecord(r, "cg", state.nGrad);
  setRecord(r, "cgfd", state.nFdGrad);
  setRecord(r, "cgvfd", state.nPerturb);
  setRecord(r, "cH", state.nHess);
  setRecord(r, "cHv", state.nHv);
  setRecord(r, "cHfd", state.nFdHess);
  setRecord(r, "cHvfd", state.nSpare1);
  setRecord(r, "cHfd2", state.nSpare2);
  setRecord(r, "cHvfd2", state.nFdHv);
  setRecord(r, "cW", state.nLineSearch);
  setRecord(r, "cS", state.nScan);
  setRecord(r, "co", state.nOutput);
  return r;
}

