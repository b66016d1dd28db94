// Jacobian-vector products from residuals alone, by the central difference
//
//     J v ~ (F(x + t v) - F(x - t v)) / (2 t),
//
// t the largest power of two that moves no component by more than 1e-8
// times its own size (driver/fd_step.h): a step of 1e-8 ||x|| along v
// would move parameters much smaller than ||x|| by many times their size.
// Its error is O(t^2) from the third derivative plus the residuals'
// rounding over 2t, estimated by driver/central_difference.h. The formula
// runs without trapping: residuals that are infinite or NaN at either
// side give their IEEE quotient.

#include "dense/length_check.h"
#include "dense/quiet_scope.h"
#include "driver/fd_step.h"
#include "leastsq/trovik_task.h"
#include "options/global_state.h"

void TrovikOptimizationTask::fdJVeval(const std::valarray<double>& x, std::valarray<double>& r,
                                      const std::valarray<double>& v, std::valarray<double>& out) {
  requireSameLength(v.size(), x.size(), "fdJVeval: v is not of length n");
  requireSameLength(out.size(), r.size(), "fdJVeval: out is not of length m");
  Feval(x, r);
  out = residualDifferencesAlong(x, v, directionalStep(1e-8, x, v), r.size()).value;
}

CentralDifference TrovikOptimizationTask::residualDifferencesAlong(const std::valarray<double>& x,
                                                                   const std::valarray<double>& v,
                                                                   double t, std::size_t m) {
  requireSameLength(v.size(), x.size(), "residualDifferencesAlong: v is not of length n");
  ++state.fdJvCalls();
  std::valarray<double> plus(0.0, m), minus(0.0, m);
  std::valarray<double> side = quietly([&] { return std::valarray<double>(x + t * v); });
  Feval(side, plus);
  quietly([&] { side = x - t * v; });
  Feval(side, minus);
  return centralDifference(plus, minus, t);
}
