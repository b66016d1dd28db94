#pragma once
// Preconditioned conjugate gradients for Op x = b, Op symmetric, with the
// preconditioner P applied to every residual (z = P r).
//
// Op and P are any callables const std::valarray<double>& ->
// std::valarray<double> returning a vector of the input's length: class
// operators, the shifted normal equations, or closures. The direction
// update (`mode`), residual recomputation (`rec`) and restarts (`res`) take
// the codes of the options "cgmode", "cgrec" and "cgreset".
//
// Status bits left in `status`: 0x02 breakdown p.Op(p) = 0; 0x04 breakdown
// r.z = 0; 0x10 divergence; control->state | 0x20 stopped from outside;
// 0x20 added when the start is still far off after the one rescaling of the
// solver's life. Reaching maxit or a non-finite residual sets no bit (the
// caller's status code judges `it` and `residual`).
//
// A zero b is solved by x = 0 at once (status 0, residual 0). Nothing in the
// solve raises a floating-point trap, NaN and infinite products included:
// they end it with a NaN or infinite residual.
//
// Each solve adds its iterations to state.innerIterations and stores its
// relative residual in state.innerResidual.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <valarray>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/cg_direction.h"
#include "linear/inner_solve_stats.h"
#include "linear/iteration_control.h"
#include "linear/solve_deadline.h"
#include "options/opts.h"

template <class Op, class P>
class CGPreSolver {
 public:
  const Op* op;    // not owned; must outlive every solve
  const P* prec;   // not owned; must outlive every solve
  std::int64_t n;  // problem size; only printed
  double tol;      // stop when ||r|| / ||b|| < tol
  double abstol;   // or when ||r|| < abstol
  double divtol;   // divergence when ||r|| / ||r0|| > divtol
  std::int64_t maxit;
  std::int32_t mode;  // direction-update formula
  std::int32_t rec;   // residual recomputation period, 0 never
  std::int32_t res;   // direction restart period, 0 never
  std::int32_t badStarts = 0;  // start rescalings so far; never reset
  double residual = 0.0;       // ||r|| / ||b|| of the last solve
  std::int32_t it = 0;
  std::int32_t status = 0;

  CGPreSolver(const Op& op_, const P& prec_, std::int64_t n_, double tol_, double abstol_,
              double divtol_, std::int64_t maxit_, std::int32_t mode_, std::int32_t rec_,
              std::int32_t res_)
      : op(&op_),
        prec(&prec_),
        n(n_),
        tol(tol_),
        abstol(abstol_),
        divtol(divtol_),
        maxit(maxit_),
        mode(mode_),
        rec(rec_),
        res(res_) {}
  // The solver keeps pointers: temporaries would dangle.
  CGPreSolver(const Op&&, const P&, std::int64_t, double, double, double, std::int64_t,
              std::int32_t, std::int32_t, std::int32_t) = delete;
  CGPreSolver(const Op&, const P&&, std::int64_t, double, double, double, std::int64_t,
              std::int32_t, std::int32_t, std::int32_t) = delete;

  // Solves from x0 and returns the last iterate. control may be null. b, x0
  // and every operator and preconditioner output must have the same length
  // (std::invalid_argument otherwise).
  std::valarray<double> solve(const std::valarray<double>& b, const std::valarray<double>& x0,
                              IterationControl* control);

  // "CGPreSolver(n=.., tol=.., maxit=.., mode=.., rec=.., res=..), status:
  // IterativeResult(status=.., it=.., residual=.., relerr=0)", no line end.
  std::ostream& print(std::ostream& os) const {
    return os << "CGPreSolver(n=" << n << ", tol=" << tol << ", maxit=" << maxit
              << ", mode=" << mode << ", rec=" << rec << ", res=" << res
              << "), status: IterativeResult(status=" << status << ", it=" << it
              << ", residual=" << residual << ", relerr=" << 0 << ")";
  }

 private:
  template <class F>
  static std::valarray<double> apply(const F& f, const std::valarray<double>& v) {
    std::valarray<double> y = f(v);
    requireSameLength(y.size(), v.size(),
                      "CGPreSolver: operator or preconditioner output length differs from its input");
    return y;
  }

};

template <class Op, class P>
std::valarray<double> CGPreSolver<Op, P>::solve(const std::valarray<double>& b,
                                                const std::valarray<double>& x0,
                                                IterationControl* control) {
  const std::size_t len = x0.size();
  requireSameLength(b.size(), len, "CGPreSolver: right-hand side and start differ in length");

  const double bn = normfro(b);
  if (bn == 0.0) {
    status = it = 0;
    residual = 0.0;
    return zeroSolution(len);
  }
  std::valarray<double> x = x0;
  std::valarray<double> r = vectorDifference(b, apply(*op, x));
  const double r0 = normfro(r);

  if (quietGreater(quietDivide(r0, bn), 100.0)) {
    if (++badStarts > 1) {
      status |= 0x20;
      return x0;
    }
    // The retry keeps the caller's control record, so that a stop request
    // or a failed host callback still ends it.
    const std::valarray<double> scaled = (bn / r0) * x0;
    return solve(b, scaled, control);
  }

  std::valarray<double> z = apply(*prec, r);
  std::valarray<double> p = z;
  status = 0;
  double w = 0.0;  // ||r|| of the last completed iteration
  std::int64_t count = 0;
  if (maxit > 0) {
    std::valarray<double> xn(len), rn(len);
    for (std::int64_t i = 0;; ++i) {
      count = i;
      const std::valarray<double> q = apply(*op, p);
      const double pq = dotProduct(p, q);
      if (pq == 0.0) {
        status |= 0x02;
        break;
      }
      const double rz = dotProduct(r, z);
      if (rz == 0.0) {
        status |= 0x04;
        break;
      }
      const double alpha = quietDivide(rz, pq);
      // A product or step that is not finite meets zeros and infinities in
      // the updates (inf * 0, inf - inf): they keep their IEEE values
      // quietly, and the NaN or infinite residual ends the solve below.
      const bool finiteStep = std::isfinite(pq) && std::isfinite(rz) && productSafe(alpha) &&
                              productSafeEntries(x, p, r, q, z);
      runQuietIf(!finiteStep, [&] {
        for (std::size_t k = 0; k < len; ++k) xn[k] = x[k] + alpha * p[k];
      });

      bool restart = false;
      if (i > 0 && rec != 0 && i % rec == 0) {
        rn = vectorDifference(b, apply(*op, xn));
        restart = true;
      } else {
        runQuietIf(!finiteStep, [&] {
          for (std::size_t k = 0; k < len; ++k) rn[k] = r[k] - alpha * q[k];
        });
      }
      const std::valarray<double> zn = apply(*prec, rn);
      std::optional<double> beta;
      if (!restart && !(i > 0 && res != 0 && i % res == 0))
        runQuietIf(!finiteStep || !productSafeEntries(rn, zn),
                   [&] { beta = cgDirectionBeta(mode, opts.cgbeta, p, r, z, rn, zn, rz); });
      if (!beta) {
        p = zn;  // a restart, or steepest descent
      } else {
        runQuietIf(!finiteStep || !productSafe(*beta) || !productSafeEntries(zn), [&] {
          for (std::size_t k = 0; k < len; ++k) p[k] = *beta * p[k] + zn[k];
        });
      }

      w = normfro(rn);
      x.swap(xn);
      r.swap(rn);
      z = zn;

      if (quietGreater(quietDivide(w, r0), divtol)) {
        status |= 0x10;
        break;
      }
      if (quietLess(w, abstol) || quietLess(quietDivide(w, bn), tol)) {
        status = 0;
        break;
      }
      if (!std::isfinite(w)) break;
      if (stopRequested(control)) {
        status = control->state | 0x20;
        break;
      }
      if (SolveDeadline::passed()) {
        count = i + 1;
        break;
      }
      if (i + 1 >= maxit) {
        count = maxit;
        break;
      }
    }
  }

  residual = quietDivide(w, bn);
  recordInnerSolve(count, residual);
  it = static_cast<std::int32_t>(count < INT32_MAX ? count : INT32_MAX);
  return x;
}
