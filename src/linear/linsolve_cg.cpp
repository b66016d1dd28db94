// The plain CG methods of the matrix-free linear solve:
//   "cg"        CG on A (A symmetric positive definite);
//   "cglifted"  CG on A + regshift I, regshift from the process-wide options;
//   "cgnormal"  CG on the shifted normal equations A^T A + shift I with the
//               right-hand side A^T b, watched by the control record and the
//               history checker.

#include <iostream>
#include <valarray>

#include "dense/printers.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "linear/cg_settings.h"
#include "linear/linsolve_method.h"
#include "linear/operator_adaptors.h"
#include "options/opts.h"

namespace {

using Zelk::LinsolveAnswer;
using Zelk::LinsolveContext;

template <class Op>
void printStart(const char* solverPrefix, const char* startPrefix, const CGSolver<Op>& solver,
                const std::valarray<double>& x0) {
  std::cerr << solverPrefix << "CG: ";
  solver.print(std::cerr) << "\n";
  std::cerr << startPrefix << "Start CG with x0=" << ShowVector<double>(x0) << "\n";
}

// The answer of a finished CG solve, with its check line and closing trace.
template <class Op>
LinsolveAnswer cgAnswer(std::valarray<double> x, const CGSolver<Op>& solver,
                        const char* checkPrefix, const char* closingPrefix) {
  LinsolveAnswer a;
  a.x = std::move(x);
  a.status = static_cast<long>(solver.flags);
  a.it = static_cast<long>(solver.it);
  a.residual = solver.residual;
  a.checkPrefix = checkPrefix;
  a.checkTol = solver.tol;
  a.closingTol = solver.tol;
  // The print shows only the members of the base, which stay as the solve
  // left them.
  const SolverBase finished = solver;
  a.closingTrace = [closingPrefix, finished](std::ostream& os) {
    os << closingPrefix;
    finished.print(os) << "\n";
  };
  return a;
}

LinsolveAnswer solveCG(const LinsolveContext& c) {
  auto solver = makeCGSolver(readCGSettings(c.A), static_cast<std::int64_t>(c.x0.size()), c.A);
  printStart("comp_linsolve:426: ", "comp_linsolve:427: ", solver, c.x0);
  std::valarray<double> x = solver.solve(c.b, c.x0, nullptr, nullptr);
  return cgAnswer(std::move(x), solver, "comp_linsolve:435: ", "comp_linsolve:437: ");
}

LinsolveAnswer solveCGLifted(const LinsolveContext& c) {
  const CGSettings settings = readCGSettings(c.A);
  const Shifted<SizedVectorOperator> lifted(c.A, opts.regshift);
  auto solver = makeCGSolver(settings, static_cast<std::int64_t>(c.x0.size()), lifted);
  printStart("comp_linsolve:458: ", "comp_linsolve:459: ", solver, c.x0);
  std::valarray<double> x = solver.solve(c.b, c.x0, nullptr, nullptr);
  LinsolveAnswer a =
      cgAnswer(std::move(x), solver, "comp_linsolve:467: ", "comp_linsolve:469: ");
  // The check compares A x with b; with a lift the solver solved another
  // system.
  if (opts.regshift != 0.0) a.closingTol = 0.0;
  return a;
}

// The signed maximum of the entries; 0 for none, NaN when the host's
// product gave a NaN (compared quietly: the drivers run this under traps).
double largestEntry(const std::valarray<double>& v) {
  if (v.size() == 0) return 0.0;
  double best = v[0];
  for (std::size_t i = 1; i < v.size(); ++i) best = quietMax(best, v[i]);
  return best;
}

LinsolveAnswer solveCGNormal(const LinsolveContext& c) {
  const double tol = getf_required(c.A, "tol");
  double shift = c.A.getf("shift", 0.0);
  const double relshift = c.A.getf("relshift", 0.0);
  const std::size_t n = c.x0.size();
  const NormalEquations<SizedVectorOperator, SizedVectorOperator> normal(c.A, c.AT);
  if (relshift != 0.0 || relshift != relshift) {
    // The largest entry of A^T A 1 estimates the largest eigenvalue; with no
    // unknowns there is nothing to estimate and the shift is relshift * 0.
    const double maxe = n > 0 ? largestEntry(normal(std::valarray<double>(1.0, n))) : 0.0;
    shift = quietly([&] { return relshift * maxe; });
    std::cerr << "comp_linsolve:490: CG: set shift: maxe_est = " << maxe << " * " << relshift
              << " => shift = " << shift << "\n";
  }
  const Shifted<NormalEquations<SizedVectorOperator, SizedVectorOperator>> shifted(normal, shift);
  CGSettings settings = readCGSettings(c.A);
  settings.tol = tol;
  auto solver = makeCGSolver(settings, static_cast<std::int64_t>(n), shifted);
  printStart("comp_linsolve:500: ", "comp_linsolve:501: ", solver, c.x0);
  const std::valarray<double> rhs = c.AT(c.b);
  std::valarray<double> x = solver.solve(rhs, c.x0, c.control, c.histcheck);
  LinsolveAnswer a =
      cgAnswer(std::move(x), solver, "comp_linsolve:513: ", "comp_linsolve:515: ");
  a.solverPolledControl = true;
  a.relerrKind = Zelk::RelerrKind::NormalEquations;
  // The check compares A^T A x with A^T b; with a shift the solver solved
  // another system.
  if (shift != 0.0) a.closingTol = 0.0;
  return a;
}

const Zelk::LinsolveRegistration cgMethod({"cg"}, {solveCG, Zelk::NeedsA, true});
const Zelk::LinsolveRegistration cgLiftedMethod({"cglifted"},
                                                {solveCGLifted, Zelk::NeedsA, true});
const Zelk::LinsolveRegistration cgNormalMethod({"cgnormal"},
                                                {solveCGNormal, Zelk::NeedsA | Zelk::NeedsAT});

}  // namespace
