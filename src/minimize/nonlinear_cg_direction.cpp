// SD1: nonlinear conjugate gradients.
//
//   d_k = beta_k d_{k-1} - g_k,   y = g_k - g_{k-1},  p = the previous step's direction
//
//   cgmode 1  Fletcher-Reeves     beta = g.g / (g_prev.g_prev)
//          2  Polak-Ribiere       beta = g.y / (g_prev.g_prev)
//          3  Hestenes-Stiefel    beta = g.y / (y.p)
//          4  Dai-Yuan            beta = g.g / (y.p)
//   otherwise                     beta = the option cgbeta
//
// d_{k-1} is the stored CG direction of the previous SD1 call. The method
// restarts with d = -g (beta = 0) at iteration 0, every cgreset iterations
// when cgreset is set, and whenever no stored direction of the right length
// exists (SD1 first reached through the fallback, after iteration 0).
//
// A coefficient that is NaN or infinite (a zero denominator among them) or
// above 1e6 in magnitude is replaced by 0 and reported ("CG beta rected: ");
// with cgbetalim set a negative one becomes 0 as well.

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "dense/quiet_arith.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "minimize/search_directions.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

double coefficient(const Vec& g, const Vec& gPrev, const Vec& dPrev) {
  auto y = [&] { return quietly([&] { return Vec(g - gPrev); }); };
  switch (opts.cgmode) {
    case 1:
      return quietDivide(dotProduct(g, g), dotProduct(gPrev, gPrev));
    case 2:
      return quietDivide(dotProduct(g, y()), dotProduct(gPrev, gPrev));
    case 3: {
      std::fputs("CG: HS\n", stderr);
      const Vec change = y();
      return quietDivide(dotProduct(g, change), dotProduct(change, dPrev));
    }
    case 4:
      std::fputs("CG: DY\n", stderr);
      return quietDivide(dotProduct(g, g), dotProduct(y(), dPrev));
    default:
      return opts.cgbeta;
  }
}

void reportRected(double beta) {
  const QuietFpScope quiet;
  std::cout << "CG beta rected: " << beta << "\n";
}

}  // namespace

std::valarray<double> nonlinearCGDirection(OptimizationTask& task, const Vec& g, const Vec& gPrev,
                                           const Vec& dPrev, double& beta) {
  const std::int32_t iter = state.iter;
  const int reset = opts.cgreset;
  Vec& d = task.cgDirection;
  if (iter < 1 || (reset != 0 && iter % reset == 0) || d.size() != g.size() ||
      gPrev.size() != g.size() || dPrev.size() != g.size()) {
    d = -g;
    beta = 0.0;
    return d;
  }

  double b = coefficient(g, gPrev, dPrev);
  if (!std::isfinite(b)) {
    reportRected(b);
    b = 0.0;
  } else if (opts.cgbetalim != 0 && b < 0.0) {
    b = 0.0;
  } else if (std::fabs(b) > 1e6) {
    reportRected(b);
    b = 0.0;
  }
  std::cout << "CG beta: " << b << "\n";

  {
    const QuietFpScope quiet;
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = b * d[i] - g[i];
  }
  beta = b;
  return d;
}
