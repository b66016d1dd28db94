#pragma once
// Conjugate gradients for A x = b, with A given only as a product x -> A x.
//
// One algorithm for every operator type: a class operator (VectorOperator
// and its adaptors), a lambda or any callable whose
// operator()(const std::valarray<double>&) const returns a vector of the
// input's length. Features:
//   - the direction update chosen by `cgmode`: 0 fixed beta (the process-wide
//     option cgbeta), 1 Fletcher-Reeves, 2 and 5 Polak-Ribiere,
//     3 Hestenes-Stiefel, 4 Dai-Yuan; any other value steepest descent;
//   - restarts of the direction every `cgreset` iterations and recomputation
//     of the true residual b - A x every `cgrec` iterations (0: never);
//   - one rescaled retry when the start is far off (||r0|| > 100 ||b||);
//   - stops on breakdown, divergence, NaN or infinite residuals, convergence,
//     the iteration limit or a request through an IterationControl;
//   - one report per iteration to a SolverHistoryChecker.
//
// Status bits left in `flags`: 0 converged or ended by the limit or by a
// non-finite residual; 1 breakdown (p.Ap or r.r exactly 0); 0x10 divergence;
// control->state | 0x20 stopped from outside; 0x20 added when the start is
// still far off after the one rescaling of the solver's life.
//
// A zero b is solved by x = 0 at once (flags 0, residual 0). Nothing in the
// solve raises a floating-point trap, NaN and infinite products included:
// they end it with a NaN or infinite residual, which the caller's status
// word flags.
//
// Each solve adds its iterations to state.innerIterations and stores its
// relative residual in state.innerResidual.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <valarray>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/cg_direction.h"
#include "linear/history_checker.h"
#include "linear/inner_solve_stats.h"
#include "linear/iteration_control.h"
#include "linear/solve_deadline.h"
#include "linear/solver_base.h"
#include "options/opts.h"

template <class Op>
class CGSolver : public SolverBase {
 public:
  const Op* op;               // not owned; must outlive the solver
  std::int64_t cgmode;        // direction-update formula
  std::int64_t cgrec;         // residual recomputation period, 0 never
  std::int64_t cgreset;       // direction restart period, 0 never
  std::int64_t badStarts = 0;  // start rescalings so far; never reset
  std::int64_t count = 0;     // stored for callers that pass one; unused

  CGSolver(const char* name_, std::int64_t n_, double tol_, double abstol_, double divtol_,
           std::int64_t maxit_, const Op& op_, std::int64_t cgmode_, std::int64_t cgrec_,
           std::int64_t cgreset_)
      : SolverBase(name_, n_, tol_, abstol_, divtol_, maxit_),
        op(&op_),
        cgmode(cgmode_),
        cgrec(cgrec_),
        cgreset(cgreset_) {}

  // The same with the callers' extra count, which the solve does not read.
  CGSolver(const char* name_, std::int64_t n_, double tol_, double abstol_, double divtol_,
           std::int64_t maxit_, std::int64_t count_, const Op& op_, std::int64_t cgmode_,
           std::int64_t cgrec_, std::int64_t cgreset_)
      : CGSolver(name_, n_, tol_, abstol_, divtol_, maxit_, op_, cgmode_, cgrec_, cgreset_) {
    count = count_;
  }

  // The solver keeps a pointer to the operator: a temporary would dangle.
  CGSolver(const char*, std::int64_t, double, double, double, std::int64_t, const Op&&,
           std::int64_t, std::int64_t, std::int64_t) = delete;
  CGSolver(const char*, std::int64_t, double, double, double, std::int64_t, std::int64_t,
           const Op&&, std::int64_t, std::int64_t, std::int64_t) = delete;

  // Solves A x = b from x0 and returns the last iterate. control and checker
  // may be null; the checker receives ||r||/||b|| once per iteration. b, x0
  // and every operator output must have the same length
  // (std::invalid_argument otherwise).
  std::valarray<double> solve(const std::valarray<double>& b, const std::valarray<double>& x0,
                              IterationControl* control, SolverHistoryChecker* checker);

 private:
  std::valarray<double> apply(const std::valarray<double>& v) const {
    std::valarray<double> y = (*op)(v);
    requireSameLength(y.size(), v.size(),
                      "CGSolver: operator output length differs from its input");
    return y;
  }

  // p <- beta p + rn for the formula of cgmode (linear/cg_direction.h).
  void updateDirection(std::valarray<double>& p, const std::valarray<double>& r,
                       const std::valarray<double>& rn) const;

  void stopFromOutside(const IterationControl* control) {
    flags = static_cast<std::int64_t>(control->state) | 0x20;
  }
};

template <class Op>
void CGSolver<Op>::updateDirection(std::valarray<double>& p, const std::valarray<double>& r,
                                   const std::valarray<double>& rn) const {
  // Plain CG is the preconditioned form with z = r.
  const std::optional<double> beta =
      cgDirectionBeta(cgmode, opts.cgbeta, p, r, r, rn, rn, dotProduct(r, r));
  if (!beta) {
    p = rn;  // steepest descent
    return;
  }
  // A zero p.y gives an infinite or NaN beta; the NaN direction it leaves
  // ends the solve at the next stop tests, reached without a trap.
  runQuietIf(!productSafe(*beta) || !productSafeEntries(p, rn), [&] {
    for (std::size_t k = 0; k < p.size(); ++k) p[k] = *beta * p[k] + rn[k];
  });
}

template <class Op>
std::valarray<double> CGSolver<Op>::solve(const std::valarray<double>& b,
                                          const std::valarray<double>& x0,
                                          IterationControl* control,
                                          SolverHistoryChecker* checker) {
  const std::size_t len = x0.size();
  requireSameLength(b.size(), len, "CGSolver: right-hand side and start differ in length");

  const double bnorm = normfro(b);
  if (bnorm == 0.0) {
    flags = it = 0;
    residual = 0.0;
    return zeroSolution(len);
  }
  std::valarray<double> x = x0;
  std::valarray<double> r = vectorDifference(b, apply(x));
  const double rho0 = normfro(r);

  if (quietGreater(quietDivide(rho0, bnorm), 100.0)) {
    if (++badStarts == 1) {
      // The retry keeps the control record and the checker, so that stop
      // requests and findings still reach it.
      const std::valarray<double> scaled = x0 * (bnorm / rho0);
      return solve(b, scaled, control, checker);
    }
    flags |= 0x20;
    return x0;
  }

  std::valarray<double> p = r;
  flags = 0;
  std::int64_t i = 0;
  double rho = 0.0;  // norm of the last computed residual
  if (maxit > 0) {
    std::valarray<double> xn(len), rn(len);
    for (;;) {
      const std::valarray<double> Ap = apply(p);
      if (stopRequested(control)) {
        stopFromOutside(control);
        break;
      }
      const double pAp = dotProduct(p, Ap), rr = dotProduct(r, r);
      if (pAp == 0.0 || rr == 0.0) {
        flags |= 1;
        break;
      }
      const double alpha = quietDivide(rr, pAp);
      // A product or step that is not finite (a NaN or infinite product,
      // an overflowing alpha) meets zeros and infinities below (inf * 0,
      // inf - inf): the updates keep their IEEE values quietly, and the NaN
      // or infinite residual ends the solve at this iteration's stop tests.
      const bool finiteStep = std::isfinite(pAp) && std::isfinite(rr) && productSafe(alpha) &&
                              productSafeEntries(x, p, r, Ap);
      runQuietIf(!finiteStep, [&] {
        for (std::size_t k = 0; k < len; ++k) xn[k] = x[k] + alpha * p[k];
      });

      if (i > 0 && cgrec != 0 && i % cgrec == 0) {
        rn = vectorDifference(b, apply(xn));
        p = rn;
      } else {
        runQuietIf(!finiteStep, [&] {
          for (std::size_t k = 0; k < len; ++k) rn[k] = r[k] - alpha * Ap[k];
          if (i > 0 && cgreset != 0 && i % cgreset == 0)
            p = rn;
          else
            updateDirection(p, r, rn);
        });
      }

      rho = normfro(rn);
      if (checker != nullptr) checker->reportIntermediate(quietDivide(rho, bnorm), control);
      x.swap(xn);
      r.swap(rn);
      if (stopRequested(control)) {
        stopFromOutside(control);
        break;
      }

      if (quietGreater(quietDivide(rho, rho0), divtol)) {
        flags |= 0x10;
        break;
      }
      if (quietGreater(abstol, rho) || quietGreater(tol, quietDivide(rho, bnorm))) {
        flags = 0;
        break;
      }
      if (!std::isfinite(rho)) break;
      if (++i >= maxit || SolveDeadline::passed()) break;
    }
  }

  residual = quietDivide(rho, bnorm);
  it = i;
  recordInnerSolve(i, residual);
  return x;
}
