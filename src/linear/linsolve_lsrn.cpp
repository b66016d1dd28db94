// The LSRN methods of the matrix-free linear solve:
//   "lsrn"     vector form over A and A^T, settings from the process-wide
//              options cgmaxit, cgtol and lsrninvtol;
//   "lsrn2"    block form over the column-by-column block operator of A;
//   "lsrnreg"  block form over [A; shift I] with right-hand side [b; 0],
//              the regularised problem.
// All three poll the control record. The residual output is always A x - b
// at the returned x, computed through A itself, also after a stop.

#include <iostream>
#include <valarray>

#include "dense/matrix.h"
#include "linear/linsolve_method.h"
#include "linear/lsrn3_solver.h"
#include "linear/lsrn_solver.h"
#include "linear/operator_format.h"
#include "linear/saturate.h"
#include "linear/shifted_matrix_normal_equations.h"
#include "linear/sized_mmp_function.h"
#include "options/option_cast.h"
#include "options/opts.h"

namespace {

using Zelk::LinsolveAnswer;
using Zelk::LinsolveContext;

LinsolveAnswer answer(std::valarray<double> x, long status, long it, double residual) {
  LinsolveAnswer a;
  a.x = std::move(x);
  a.status = status;
  a.it = it;
  a.residual = residual;
  a.solverPolledControl = true;
  return a;
}

// The answer is judged as the solution of min ||A x - b||^2 + shift^2 ||x||^2;
// `dominant` is the sketch's dominant right singular vector.
void claimsLeastSquares(LinsolveAnswer& a, double tol, double shift,
                        std::valarray<double> dominant) {
  a.closingTol = tol;
  a.closingKind = Zelk::ClosingKind::LeastSquares;
  a.closingShift = shift;
  a.normStart = std::move(dominant);
}

// Row 0 of VT (the sketch S = U diag(s) VT) or column 0 of U (the
// transposed sketch S^T = U diag(s) VT); empty when the SVD did not run.
std::valarray<double> firstRow(const MatrixTemplate<double>& M) {
  if (M.rows == 0) return {};
  return M.elements[std::slice(0, M.cols, 1)];
}
std::valarray<double> firstColumn(const MatrixTemplate<double>& M) {
  if (M.cols == 0) return {};
  return M.elements[std::slice(0, M.rows, M.cols)];
}

LinsolveAnswer solveLSRN(const LinsolveContext& c) {
  const std::int32_t m = saturateToInt32(static_cast<long>(c.b.size()));
  const std::int32_t n = saturateToInt32(static_cast<long>(c.x0.size()));
  const LSRNGetRandSys<SizedVectorOperator> sketch(c.A, c.AT, m, n, 2.0);
  LSRNSolveSys<SizedVectorOperator> solver(c.A, c.AT, m, n, lsrn::sketchSize(n, m, 2.0),
                                           static_cast<double>(opts.cgmaxit), opts.cgtol,
                                           opts.lsrninvtol);
  sketch.getRandSys(solver.decomp.a, c.control);
  std::valarray<double> x(0.0, c.x0.size());
  const int status = solver.solve(c.b, x, c.control);
  LinsolveAnswer a = answer(std::move(x), status, solver.it, solver.residual);
  // The inner CG ran with the process-wide limits, not with the call's.
  a.appliedMaxit = option_cast<long>(solver.maxit, 0L);
  a.appliedTol = solver.tol;
  claimsLeastSquares(a, solver.tol, 0.0, firstRow(solver.decomp.VT));
  return a;
}

LinsolveAnswer solveBlock(const LinsolveContext& c, bool regularised) {
  const long m = static_cast<long>(c.b.size()), n = static_cast<long>(c.x0.size());
  const SizedMMPFunction<ColumnProduct, ColumnProduct> B(
      map_union(c.A.options, {{"dim_m", m}, {"dim_n", n}}), ColumnProduct{c.A, m, c.control},
      ColumnProduct{c.AT, n, c.control});

  std::valarray<double> x(0.0, c.x0.size());
  auto run = [&](const SizedMMPOperator& op, const std::valarray<double>& rhs, double shift) {
    LSRN3Solver solver(op);
    solver.solve(rhs, x, c.control);
    LinsolveAnswer a = answer(std::move(x), solver.status, static_cast<long>(solver.sys.it),
                              solver.sys.residual);
    claimsLeastSquares(a, getf_required(op, "tol"), shift, firstColumn(solver.sys.decomp.U));
    return a;
  };
  if (!regularised) return run(B, c.b, 0.0);

  const ShiftedMatrixNormalEquations augmented(B);
  std::cerr << "Set up LSRN with " << ShowOperator(augmented.options) << "\n";
  std::valarray<double> rhs(0.0, c.b.size() + c.x0.size());
  rhs[std::slice(0, c.b.size(), 1)] = c.b;
  return run(augmented, rhs, augmented.shift);
}

LinsolveAnswer solveLSRN2(const LinsolveContext& c) { return solveBlock(c, false); }
LinsolveAnswer solveLSRNReg(const LinsolveContext& c) { return solveBlock(c, true); }

const Zelk::LinsolveRegistration lsrnMethod({"lsrn"}, {solveLSRN, Zelk::NeedsA | Zelk::NeedsAT});
const Zelk::LinsolveRegistration lsrn2Method({"lsrn2"},
                                             {solveLSRN2, Zelk::NeedsA | Zelk::NeedsAT});
const Zelk::LinsolveRegistration lsrnRegMethod({"lsrnreg"},
                                               {solveLSRNReg, Zelk::NeedsA | Zelk::NeedsAT});

}  // namespace
