#include "leastsq/trial_evaluation.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "dense/length_check.h"
#include "dense/quiet_arith.h"
#include "dense/vector_kernels.h"
#include "leastsq/residual_objective.h"
#include "leastsq/wolfe_code.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

void ensureSize(std::valarray<double>& v, std::size_t n) {
  if (v.size() != n) v.resize(n);
}

}  // namespace

ObjectiveAndSlope directionalDerivative(LineSearchContext& context, const std::valarray<double>& xt,
                                        std::valarray<double>& rt, const std::valarray<double>& d) {
  TrovikOptimizationTask& task = context.task;
  std::valarray<double>& jd = context.buffers.product;
  ensureSize(jd, rt.size());
  if (task.jv != nullptr) {
    task.JVeval(xt, rt, d, jd);
  } else {
    if (state.jvWarningGiven() == 0) {
      state.jvWarningGiven() = 1;
      state.status |= 0x1000;
      std::fputs("Warning: JVeval not available\n", stderr);
    }
    MatrixTemplate<double>& J = context.buffers.jacobian;
    J.reshape(rt.size(), xt.size());
    task.Jeval(xt, rt, J);
    // The product runs in BLAS, quietly: whatever the host's Jacobian
    // holds gives its IEEE value, for the slope's tests.
    jd = matrixVectorProduct(J, d);
  }
  return {evalFunc(rt), objectiveSlope(rt, jd)};
}

double pointObjective(TrovikOptimizationTask& task, const std::valarray<double>& point,
                      std::valarray<double>& residual) {
  if (!allFinite(point)) return std::numeric_limits<double>::infinity();
  task.Feval(point, residual);
  return evalFunc(residual);
}

Trial evaluateTrial(LineSearchContext& context, double alpha, bool withSlope,
                    std::int32_t& counter) {
  requireSameLength(context.d.size(), context.x.size(), "line search: d and x differ in length");
  ++counter;
  TrialBuffers& b = context.buffers;
  const double t = context.directionSign * alpha;
  ensureSize(b.point, context.x.size());
  ensureSize(b.residual, context.r.size());
  // x + t d, quiet only where the step may overflow.
  b.point = context.x;
  addScaled(b.point, t, context.d);

  Trial trial{.alpha = alpha};
  if (withSlope) {
    const ObjectiveAndSlope value = directionalDerivative(context, b.point, b.residual, context.d);
    trial.J = value.J;
    trial.slope = context.directionSign * value.g;
  } else {
    context.task.Feval(b.point, b.residual);
    trial.J = evalFunc(b.residual);
  }
  trial.code =
      wolfeCode(trial.J, trial.slope, alpha, context.f0, context.searchSlope(), opts.wolcheck);
  // The start slope is the host's: its product with t may overflow.
  context.task.stepEvidence.add(context.x, b.point, t, quietProduct(t, context.g0), trial.J);
  return trial;
}
