// Jacobian-vector product from residuals alone, by the central difference
//
//     J v ~ (F(x + h v) - F(x - h v)) / (2 h),   h = 1e-8 max(||x||_2, 1),
//
// whose error is O(h^2 ||v||^3) from the third derivative plus the
// residuals' rounding over 2h. The floor 1 keeps the step at the size the
// relative rule gives at ||x|| = 1 instead of a zero step at the origin.
// The formula runs without trapping: residuals that are infinite or NaN at
// either side give their IEEE quotient.

#include <cmath>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "driver/fd_step.h"
#include "leastsq/trovik_task.h"
#include "options/global_state.h"

void TrovikOptimizationTask::fdJVeval(const std::valarray<double>& x, std::valarray<double>& r,
                                      const std::valarray<double>& v, std::valarray<double>& out) {
  const std::size_t m = r.size();
  requireSameLength(v.size(), x.size(), "fdJVeval: v is not of length n");
  requireSameLength(out.size(), m, "fdJVeval: out is not of length m");
  ++state.fdJvCalls();
  Feval(x, r);
  const double h = fdStep(1e-8, x);
  std::valarray<double> plus(0.0, m), minus(0.0, m);
  std::valarray<double> side = quietly([&] { return std::valarray<double>(x + h * v); });
  Feval(side, plus);
  quietly([&] { side = x - h * v; });
  Feval(side, minus);
  const double twoH = 2.0 * h;
  quietly([&] { out = (plus - minus) / twoH; });
}
