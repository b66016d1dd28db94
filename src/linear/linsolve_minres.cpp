// The "minres" method of the matrix-free linear solve: MINRES on A, which
// may be indefinite but must be symmetric. It runs without the control
// record, so a failed host callback is folded into the status by the
// common epilogue.

#include <iostream>
#include <valarray>

#include "dense/printers.h"
#include "linear/linsolve_method.h"
#include "linear/minres_solver.h"
#include "linear/operator_format.h"

namespace {

Zelk::LinsolveAnswer solveMINRES(const Zelk::LinsolveContext& c) {
  const double tol = getf_required(c.A, "tol");
  MINRESSolver solver(c.A);
  std::cerr << "comp_linsolve:391: MINRES: " << ShowOperator(solver.options) << "\n";
  std::cerr << "comp_linsolve:392: Start MINRES with x0=" << ShowVector<double>(c.x0) << "\n";

  Zelk::LinsolveAnswer a;
  a.x = c.x0;
  solver.solve(c.b, a.x, nullptr);
  a.status = solver.flags;
  a.it = solver.it;
  a.residual = solver.relerr;
  a.checkPrefix = "comp_linsolve:406: ";
  a.checkTol = tol;
  a.closingTol = tol;
  a.closingTrace = [options = solver.options](std::ostream& os) {
    os << "comp_linsolve:408: " << ShowOperator(options) << "\n";
  };
  return a;
}

const Zelk::LinsolveRegistration reg({"minres"}, {solveMINRES, Zelk::NeedsA, true});

}  // namespace
