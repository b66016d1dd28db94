#include "linear/minres_solver.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/saturate.h"
#include "linear/solve_deadline.h"

namespace {

// ||v||, summed first to last like the dot products, and without over- or
// underflow.
double norm2(const std::valarray<double>& v) { return normForward(v); }

}  // namespace

MINRESSolver::MINRESSolver(const SizedVectorOperator& A)
    : options(A.options),
      op(&A),
      dim_m(saturateToInt32(A.dim_m())),
      dim_n(saturateToInt32(A.dim_n())),
      tol(getf_required(A, "tol")),
      maxit(saturateToInt32(geti_required(A, "maxit"))) {
  // The recurrence feeds A's output back in: it needs n values out for n in.
  if (dim_m != dim_n)
    throw std::invalid_argument("MINRESSolver: the operator must be square (\"dim_m\" " +
                                std::to_string(dim_m) + ", \"dim_n\" " + std::to_string(dim_n) +
                                ")");
}

void MINRESSolver::solve(const std::valarray<double>& b, std::valarray<double>& x,
                         IterationControl* control) {
  const SizedVectorOperator& A = *op;
  std::valarray<double> r = b - A(x);
  const double beta = norm2(b);

  it = 0;
  // A start that already solves the system (b = x = 0 among them) has no
  // direction to search: every step would divide 0 by 0 and spoil x.
  if (norm2(r) == 0.0) {
    residual = 0.0;
    relerr = 0.0;
    return;
  }

  std::valarray<double> p0 = r;
  std::valarray<double> s0 = A(p0);
  std::valarray<double> p1, s1, p2, s2;
  if (maxit <= 0) return;

  for (;;) {
    p2 = std::move(p1);
    s2 = std::move(s1);
    p1 = std::move(p0);
    s1 = std::move(s0);

    const double ss = dotProduct(s1, s1);
    if (ss == 0.0) {
      // A p = 0: the operator is singular on the search space and no step
      // reduces the residual. Keep x as it is and report what is left.
      residual = norm2(r);
      relerr = quietDivide(residual, beta);
      return;
    }
    const double alpha = quietDivide(dotProduct(r, s1), ss);
    // A NaN or infinite product makes the step non-finite: its updates keep
    // their IEEE values without a trap, and the relative residual they leave
    // ends the run just below.
    runQuietIf(!std::isfinite(ss) || !std::isfinite(alpha), [&] {
      x += alpha * p1;
      r -= alpha * s1;
    });

    residual = norm2(r);
    relerr = quietDivide(residual, beta);
    if (quietGreater(tol, relerr) || !std::isfinite(relerr)) return;
    if (control != nullptr && control->state != 0) {
      flags |= 32;
      return;
    }

    p0 = s1;
    s0 = A(s1);
    const double beta1 = quietDivide(dotProduct(s0, s1), ss);
    // A product that is not finite gives a non-finite beta1; the direction
    // built from it ends the run at the next step, reached without a trap.
    runQuietIf(!std::isfinite(beta1), [&] {
      p0 -= beta1 * p1;
      s0 -= beta1 * s1;
      if (it > 0) {
        // s2 has unit length, or is zero after an exhausted search space.
        const double s2s2 = dotProduct(s2, s2);
        if (s2s2 != 0.0) {
          const double beta2 = quietDivide(dotProduct(s0, s2), s2s2);
          p0 -= beta2 * p2;
          s0 -= beta2 * s2;
        }
      }
      // A zero s0 means the Krylov space is exhausted; left unscaled, the
      // next step sees A p = 0 and stops without touching x.
      const double c = norm2(s0);
      if (c != 0.0) {
        s0 /= c;
        p0 /= c;
      }
    });
    if (++it >= maxit || SolveDeadline::passed()) return;
  }
}
