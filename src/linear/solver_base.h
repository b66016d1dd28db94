#pragma once
// Members shared by the CG-type solvers and their one-line printer.

#include <cstdint>
#include <ostream>

class SolverBase {
 public:
  const char* name;      // display name ("CGSolver", "LiftedCGSolver2")
  std::int64_t n;        // problem size
  double tol;            // tolerance on the relative residual
  double abstol;         // absolute floor on the residual norm
  double divtol;         // divergence limit on ||r|| / ||r0||
  std::int64_t maxit;    // iteration limit
  double residual = 0.0;  // relative residual after the last solve
  double relerr = 0.0;    // relative error; the solves leave it alone
  std::int64_t it = 0;    // iterations of the last solve
  std::int64_t flags = 0;  // status bits of the last solve
  double started;         // wall-clock seconds at construction

  SolverBase(const char* name_, std::int64_t n_, double tol_, double abstol_, double divtol_,
             std::int64_t maxit_);

  // "CGSolver(n=.., tol=.., maxit=..), status: IterativeResult(status=..,
  // it=.., residual=.., relerr=..)" without a line end. The status shown is
  // flags OR 1 (not residual < tol), 2 (not relerr < tol), 4 (it >= maxit),
  // 8 (residual or relerr not finite); it is not the word hosts receive.
  std::ostream& print(std::ostream& os) const;
};
