#pragma once
// Preconditioned conjugate gradients on the damped normal equations of a
// Levenberg-Marquardt step,
//
//     (J^T J + diag(d)) x = b,        d = alpha D o D,
//
// with J known only through the closures v -> J v and w -> J^T w. The
// matrix is symmetric positive definite for d > 0, and its diagonal part
// gives the preconditioner z = r / d (entry-wise). Where d_i is not
// positive (or is NaN), the preconditioner passes r_i unchanged instead of
// dividing by it, which is the identity's choice for that entry.
//
// The iteration is the library's CGPreSolver, started from a random vector
// with entries in (-0.5, 0.5), with the residual floor 1e-120, the
// divergence limit 1e14, the variant "cgmode" and the periods "cgrec" and
// "cgreset", and no iteration control. Each operator application costs one
// J v and one J^T w product.
//
// b = 0 has the solution x = 0, returned at once (converged, no product):
// the relative residual ||r|| / ||b|| of the iteration does not exist there.
// A product that is not finite ends the solve: the operator then answers
// zeros, which breaks the recursion at its next step without any further
// host call, and the solve reports StepStatus::NonFinite with x = 0.

#include <cstdint>
#include <valarray>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "linear/cg_pre_solver.h"
#include "linear/saturate.h"
#include "options/opts.h"
#include "steps/damped_normal_product.h"
#include "steps/step_status.h"

template <class JOp, class JTOp>
class CGNormalSolver {
 public:
  std::uint32_t m, n;
  const JOp& J;                    // v (n) -> J v (m)
  const JTOp& JT;                  // w (m) -> J^T w (n)
  const std::valarray<double>* d;  // the damping diagonal, n entries; not owned
  double tol;
  std::int32_t maxit;

  // Outcome of the last solve: the CG status word (with StepStatus::NonFinite
  // added on a failed product), its iterations and relative residual.
  std::int32_t status = 0;
  std::int32_t iterations = 0;
  double residual = 0.0;

  CGNormalSolver(std::uint32_t m_, std::uint32_t n_, const JOp& J_, const JTOp& JT_,
                 const std::valarray<double>& d_, double tol_, std::int32_t maxit_)
      : m(m_), n(n_), J(J_), JT(JT_), d(&d_), tol(tol_), maxit(maxit_) {
    requireSameLength(d_.size(), n, "CGNormalSolver: the damping diagonal needs n entries");
  }
  // With the tolerance "cgtol" and the limit "cgmaxit".
  CGNormalSolver(std::uint32_t m_, std::uint32_t n_, const JOp& J_, const JTOp& JT_,
                 const std::valarray<double>& d_)
      : CGNormalSolver(m_, n_, J_, JT_, d_, opts.cgtol, saturateToInt32(opts.cgmaxit)) {}

  // The solver keeps references: temporaries would dangle.
  CGNormalSolver(std::uint32_t, std::uint32_t, const JOp&&, const JTOp&,
                 const std::valarray<double>&) = delete;
  CGNormalSolver(std::uint32_t, std::uint32_t, const JOp&, const JTOp&&,
                 const std::valarray<double>&) = delete;
  CGNormalSolver(std::uint32_t, std::uint32_t, const JOp&, const JTOp&,
                 const std::valarray<double>&&) = delete;

  // Solves for b (n entries) into x (resized to n); returns `status`.
  std::int32_t solve(const std::valarray<double>& b, std::valarray<double>& x);
};

template <class JOp, class JTOp>
std::int32_t CGNormalSolver<JOp, JTOp>::solve(const std::valarray<double>& b,
                                              std::valarray<double>& x) {
  requireSameLength(b.size(), n, "CGNormalSolver: the right-hand side needs n entries");
  x.resize(n, 0.0);
  iterations = 0;
  residual = 0.0;
  if (!allFinite(b)) {
    status = StepStatus::NonFinite;
    return status;
  }
  if (normfro(b) == 0.0) {
    status = 0;
    recordInnerSolve(0, 0.0);
    return status;
  }

  bool failed = false;
  std::valarray<double> scratch(m);
  auto op = [&](const std::valarray<double>& v) {
    std::valarray<double> q(n);
    if (failed || !dampedNormalProduct(J, JT, *d, v, scratch, q)) {
      failed = true;
      q = 0.0;
    }
    return q;
  };
  auto prec = [&](const std::valarray<double>& r) {
    std::valarray<double> z(n);
    for (std::size_t i = 0; i < n; ++i)
      z[i] = quietGreater((*d)[i], 0.0) ? quietDivide(r[i], (*d)[i]) : r[i];
    if (failed || !allFinite(z)) {
      failed = true;
      z = 0.0;
    }
    return z;
  };

  const std::valarray<double> x0 = randvec(static_cast<long>(n)) - 0.5;
  CGPreSolver<decltype(op), decltype(prec)> cg(op, prec, n, tol, 1e-120, 1e14, maxit, opts.cgmode,
                                               opts.cgrec, opts.cgreset);
  x = cg.solve(b, x0, nullptr);
  status = cg.status;
  iterations = cg.it;
  residual = cg.residual;
  if (failed || !allFinite(x)) {
    status |= StepStatus::NonFinite;
    x = 0.0;
  }
  return status;
}
