// The method "cgprenormal" of the matrix-free linear solve: preconditioned
// CG on the shifted normal equations (A^T A + shift I) x = A^T b, with the
// host's operator P as the preconditioner.

#include <cstdint>
#include <iostream>
#include <valarray>

#include "dense/printers.h"
#include "linear/cg_pre_solver.h"
#include "linear/cg_settings.h"
#include "linear/linsolve_method.h"
#include "linear/operator_adaptors.h"
#include "linear/saturate.h"

namespace {

using Zelk::LinsolveAnswer;
using Zelk::LinsolveContext;

using Normal = NormalEquations<SizedVectorOperator, SizedVectorOperator>;

// The solver polls no control record: a failed host callback is folded into
// the status by the common epilogue (solverPolledControl stays false).
LinsolveAnswer solveCGPreNormal(const LinsolveContext& c) {
  const double tol = getf_required(c.A, "tol");
  const double shift = c.A.getf("shift", 0.0);
  const Normal normal(c.A, c.AT);
  const Shifted<Normal> shifted(normal, shift);
  const CGSettings s = readCGSettings(c.A);
  CGPreSolver solver(shifted, c.P, static_cast<std::int64_t>(c.x0.size()), tol, 1e-120, 1e14,
                     s.maxit, saturateToInt32(s.cgmode), saturateToInt32(s.cgrec),
                     saturateToInt32(s.cgreset));

  std::cerr << "comp_linsolve:533: CG: ";
  solver.print(std::cerr) << "\n";
  std::cerr << "comp_linsolve:534: Start CG with x0=" << ShowVector<double>(c.x0) << "\n";

  const std::valarray<double> rhs = c.AT(c.b);
  LinsolveAnswer a;
  a.x = solver.solve(rhs, c.x0, nullptr);
  a.status = solver.status;
  a.it = solver.it;
  a.residual = solver.residual;
  a.relerrKind = Zelk::RelerrKind::NormalEquations;
  a.checkPrefix = "comp_linsolve:547: ";
  a.checkTol = tol;
  // The check compares A^T A x with A^T b: only without a shift is that the
  // system solved.
  a.closingTol = shift == 0.0 ? tol : 0.0;
  a.closingTrace = [solver](std::ostream& os) {
    os << "comp_linsolve:549: ";
    solver.print(os) << "\n";
  };
  return a;
}

const Zelk::LinsolveRegistration cgPreNormalMethod(
    {"cgprenormal"}, {solveCGPreNormal, Zelk::NeedsA | Zelk::NeedsAT | Zelk::NeedsP});

}  // namespace
