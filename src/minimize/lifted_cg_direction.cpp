// SD3 without a decomposition: the lifted CG, (H + s I) d = -g on Hessian
// products, with the shift s chosen so that the solve is easy and d points
// downhill.
//
// The shift carries over from call to call in the run state (liftShift,
// -2 at the start of a run). Each call:
//   1. Eigenvalue estimates e_max, e_min of H (FindMinMaxEigValueLopcg).
//   2. s from the effort c of the last lifted solve (cgmaxit = m):
//      c > 0.55 m: s <- 1.2 s;  c < 0.45 m: s <- 0.7 s (c > 10) or 0.85 s.
//   3. Solve; then, with it the iterations of the solve:
//      - a struggling solve (it >= 0.98 m, or a non-zero status) raises s:
//        a non-positive s to 1000 cgtol, s < cgtol to cbrt(s), else 3 s
//        (9 s when the relative residual exceeded 0.001); solve again;
//      - else stop once the lift is settled: status bit 0x10 (an earlier
//        uphill answer), it > min(0.05 m, 5), s < minshiftsc, or s was
//        raised in this call;
//      - else halve s (quarter it when it <= 1) and solve again.
//   4. If g.d >= 0 the answer is uphill: s is raised by shiftGain4 (a
//      non-positive s to 1000 cgtol, since multiplying keeps it
//      non-positive), status bit 0x10 is set, and the whole path repeats.
// A call makes at most kMaxSolves solves; the last solution is then
// returned as it is, and the line search searches an uphill one reversed.
// A zero gradient gives d = 0 at once.

#include <algorithm>
#include <cmath>

#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"
#include "eigen/find_min_max_eig_value.h"
#include "linear/lifted_cg_solver.h"
#include "minimize/search_directions.h"
#include "options/global_state.h"
#include "options/option_cast.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr int kMaxSolves = 60;

// Step 2: the shift after the last solve's effort.
double adaptedShift(double s, double effort, double maxit) {
  if (effort > 0.55 * maxit) return quietly([&] { return 1.2 * s; });
  if (effort < 0.45 * maxit) return quietly([&] { return (effort > 10 ? 0.7 : 0.85) * s; });
  return s;
}

// "cgtol" is the host's: 1000 times it may pass the largest double.
double zeroShiftRaise() { return quietly([] { return 1000.0 * opts.cgtol; }); }

// The raise after a struggling solve.
double raisedShift(double s) {
  if (!quietGreater(s, 0.0)) return zeroShiftRaise();
  if (quietLess(s, opts.cgtol)) return std::cbrt(s);
  return quietly([&] {
    double raised = 3.0 * s;
    if (quietGreater(state.innerResidual, 0.001)) raised *= 3.0;
    return raised;
  });
}

}  // namespace

std::valarray<double> liftedCGDirection(OptimizationTask& task, const Vec& x, const Vec& g,
                                        double tau, Vec& eig, double& lambda) {
  const std::size_t n = g.size();
  if (allZero(g)) return Vec(0.0, n);

  Vec w(0.0, n);
  const HessianBlock H{&task, &x, &w};
  const auto size = static_cast<std::int64_t>(n);
  const long cgmaxit = opts.cgmaxit;
  const double maxit = static_cast<double>(cgmaxit);
  const long evmaxit = option_cast<long>(opts.evmaxit, 0L);
  const double settled = std::min(std::trunc(0.05 * maxit), 5.0);
  const Vec rhs = -g;
  Vec d(0.0, n);
  int solves = 0;

  for (;;) {
    FindMinMaxEigValueLopcg<HessianBlock> estimates(H, size, opts.evtol, evmaxit);
    estimates.update();
    double s = adaptedShift(state.liftShift(), state.innerIterations, maxit);

    LiftedCGSolver<HessianBlock> solver(H, size, opts.evtol, tau, evmaxit, cgmaxit, 1.0);
    int status = solver.do_solve(rhs, s, d);
    ++solves;
    bool raised = false;
    while (solves < kMaxSolves) {
      const double it = static_cast<double>(solver.it);
      if (it >= 0.98 * maxit || status != 0) {
        s = raisedShift(s);
        raised = true;
      } else if ((state.status & 0x10) || it > settled || quietLess(s, opts.minshiftsc) || raised) {
        break;
      } else {
        s = quietly([&] { return it <= 1 ? s / 4.0 : s / 2.0; });
      }
      status = solver.do_solve(rhs, s, d);
      ++solves;
    }

    state.liftShift() = state.lowestCurvature() = lambda = s;
    if (eig.size() >= 2) {
      eig[0] = estimates.minEV;
      eig[1] = estimates.maxEV;
    }
    if (quietLess(dotProduct(g, d), 0.0) || solves >= kMaxSolves) return d;
    state.liftShift() =
        quietGreater(s, 0.0) ? quietly([&] { return s * opts.shiftGain4; }) : zeroShiftRaise();
    state.status |= 0x10;
  }
}
