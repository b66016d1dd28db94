#pragma once
// Evaluation of line-search trials. A trial of step length alpha is the
// point x_t = x + directionSign * alpha * d; its objective is evalFunc of
// the residual there, its slope (when asked for) the objective's slope
// along the searched direction, directionSign * objectiveSlope(r_t, J d),
// with J d from one Jacobian-vector product at x_t (or, without that
// callback, from the full Jacobian at x_t). Its Wolfe code is taken at the
// current "wolcheck" level.

#include <cstdint>

#include "leastsq/line_search_context.h"

// The objective and its slope along d (not signed by the search) at a trial.
struct ObjectiveAndSlope {
  double J = 0.0;
  double g = 0.0;
};

// J = evalFunc(F(xt)) and g = objectiveSlope(F(xt), J(xt) d); rt receives
// F(xt) (m entries). Without a Jacobian-vector callback the full Jacobian
// is used instead, after a one-time warning per run ("Warning: JVeval not
// available", status bit 0x1000).
ObjectiveAndSlope directionalDerivative(LineSearchContext& context, const std::valarray<double>& xt,
                                        std::valarray<double>& rt, const std::valarray<double>& d);

// evalFunc(F(point)), with F(point) in `residual`; +inf without a host call
// when the point is not finite (the host is never handed such a point).
double pointObjective(TrovikOptimizationTask& task, const std::valarray<double>& point,
                      std::valarray<double>& residual);

// Evaluates the trial of step length alpha, with its slope when withSlope
// is set, counting it in `counter` (sweepEvaluations or
// refineEvaluations). Afterwards context.buffers hold x_t and r_t. The
// trial enters the task's step evidence.
Trial evaluateTrial(LineSearchContext& context, double alpha, bool withSlope,
                    std::int32_t& counter);
