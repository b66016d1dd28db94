#pragma once
// CG for the lifted system (H + shift I) x = b, H symmetric and given as a
// block product (an n x k block V in, H V out), preconditioned by the
// diagonal that Preconditioner builds from H at the level of the option
// cgprecond. The owner picks the shift and may solve again with another.

#include <cmath>
#include <cstdint>
#include <valarray>

#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/random.h"
#include "dense/vector_kernels.h"
#include "linear/cg_pre_solver.h"
#include "linear/inner_solve_stats.h"
#include "linear/preconditioner.h"
#include "options/option_cast.h"
#include "options/opts.h"

template <class Op>
class LiftedCGSolver {
 public:
  const Op* op;             // block product of H; not owned
  std::int64_t n;           // problem size
  double evtol;             // handed to the preconditioner
  double tol;               // relative residual tolerance of the inner CG
  std::int64_t evmaxit;     // handed to the preconditioner
  std::int64_t maxit;       // iteration limit of the inner CG
  double eigEstimates[2] = {0.0, 0.0};  // kept for the owner
  double lastShift = 0.0;               // kept for the owner
  double tolFactor = 1.0;               // factor on tol
  std::int64_t it = 0;                  // iterations of the last inner CG

  static constexpr int kNonFiniteResidual = 0x40;

  LiftedCGSolver(const Op& op_, std::int64_t n_, double evtol_, double tol_,
                 std::int64_t evmaxit_, std::int64_t maxit_, double tolFactor_)
      : op(&op_),
        n(n_),
        evtol(evtol_),
        tol(tol_),
        evmaxit(evmaxit_),
        maxit(maxit_),
        tolFactor(tolFactor_) {}
  LiftedCGSolver(const Op&&, std::int64_t, double, double, std::int64_t, std::int64_t,
                 double) = delete;

  // x <- the solution of (H + shift I) x = b from a random start; returns
  // the inner CG's status bits (0 converged, 0x02 / 0x04 breakdown, 0x10
  // divergence, 0x20 rejected start), and kNonFiniteResidual when the solve
  // ended on a NaN or infinite residual, which the inner CG reports by its
  // residual alone: x is then no solution.
  int do_solve(const std::valarray<double>& b, double shift, std::valarray<double>& x) {
    Preconditioner<Op> pre(*op, n, evtol, evmaxit);
    std::valarray<double> d;
    pre.update(d, option_cast<int>(opts.cgprecond, 0));
    // A level without a diagonal (negative, or above the defined ones)
    // leaves d without one scale factor per entry: no preconditioning then,
    // rather than a product that would read past d.
    const bool scaled = d.size() == b.size();

    auto lifted = [this, shift](const std::valarray<double>& v) {
      const MatrixTemplate<double> V(v.size(), 1, v);
      const MatrixTemplate<double> HV = (*op)(V);
      requireSameLength(HV.elements.size(), v.size(),
                        "LiftedCGSolver: Hessian product has the wrong number of entries");
      std::valarray<double> y = HV.elements;
      if (shift != 0.0) addScaled(y, shift, v);
      return y;
    };
    auto diagonal = [&d, scaled](const std::valarray<double>& r) {
      return scaled ? std::valarray<double>(r * d) : r;
    };

    CGPreSolver solver(lifted, diagonal, static_cast<std::int64_t>(b.size()), tol * tolFactor,
                       1e-120, 1e14, maxit, opts.cgmode, opts.cgrec, opts.cgreset);
    const std::valarray<double> x0 = randvec(static_cast<long>(b.size())) - 0.5;
    x = solver.solve(b, x0, nullptr);
    it = solver.it;
    setInnerIterations(solver.it);
    if (!std::isfinite(solver.residual)) return solver.status | kNonFiniteResidual;
    return solver.status;
  }
};
