#include "linear/solver_base.h"

#include <cmath>

#include "dense/quiet_compare.h"
#include "dense/timer.h"

SolverBase::SolverBase(const char* name_, std::int64_t n_, double tol_, double abstol_,
                       double divtol_, std::int64_t maxit_)
    : name(name_),
      n(n_),
      tol(tol_),
      abstol(abstol_),
      divtol(divtol_),
      maxit(maxit_),
      started(get_wall_time()) {}

std::ostream& SolverBase::print(std::ostream& os) const {
  std::int64_t s = flags;
  if (!quietLess(residual, tol)) s |= 1;
  if (!quietLess(relerr, tol)) s |= 2;
  if (it >= maxit) s |= 4;
  if (!std::isfinite(residual) || !std::isfinite(relerr)) s |= 8;
  // The text is the same for every solver, whatever `name` holds.
  return os << "CGSolver(n=" << n << ", tol=" << tol << ", maxit=" << maxit
            << "), status: IterativeResult(status=" << s << ", it=" << it
            << ", residual=" << residual << ", relerr=" << relerr << ")";
}
