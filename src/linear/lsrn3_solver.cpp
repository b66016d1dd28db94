#include "linear/lsrn3_solver.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "dense/length_check.h"
#include "dense/printers.h"
#include "dense/random.h"
#include "linear/cg_solver.h"
#include "linear/lsrn_report.h"
#include "linear/saturate.h"

namespace Zelk::LSRN3 {

namespace {

MatrixTemplate<double> asColumn(const std::valarray<double>& v) {
  return MatrixTemplate<double>(v.size(), 1, v);
}

}  // namespace

std::valarray<double> LSRNSolveSys::times(const std::valarray<double>& y) const {
  return matrixVectorProduct(N, y);
}

std::valarray<double> LSRNSolveSys::transposedTimes(const std::valarray<double>& w) const {
  MatrixTemplate<double> W = asColumn(w);
  MatrixTemplate<double> R = transposed(N) * W;
  return R.elements;
}

std::valarray<double> LSRNSolveSys::normal(const std::valarray<double>& y) const {
  std::cerr << ",";
  const MatrixTemplate<double> v = op->matvecprod(asColumn(times(y)));
  const MatrixTemplate<double> w = op->matTvecprod(v);
  requireSameLength(w.elements.size(), N.rows, "LSRN: block product has the wrong length");
  return transposedTimes(w.elements);
}

int LSRNSolveSys::solve(const std::valarray<double>& b, std::valarray<double>& x,
                        IterationControl* control) {
  const lsrn::SketchFactors f = lsrn::factorSketch(
      std::cerr, decomp, n, static_cast<std::int32_t>(decomp.a.cols), invtol, true, true);
  it = 0;
  if (!f.usable) return status = lsrn::giveUp(x, n, residual);
  const std::size_t r = f.rank;
  const std::valarray<double>& Dr = f.inverse;
  const DecompInfo info = decomp.info(invtol);
  std::cerr << "Diag: " << f.idiagRank << ": " << r << ", range [" << info.mins << ", "
            << info.maxs << "]\n";
  std::cerr << "Idiag: " << f.idiagRank << ": " << ShowVector<double>(Dr) << "\n";
  std::cerr << "Idiag data: ";
  printShortVector(std::cerr, Dr) << "\n";
  cond = lsrn::conditionNumber(decomp.s);

  const std::size_t nn = static_cast<std::size_t>(n);
  N = MatrixTemplate<double>(nn, r);
  for (std::size_t i = 0; i < nn; ++i)
    for (std::size_t j = 0; j < r; ++j) N(i, j) = Dr[j] * decomp.U(i, j);

  const double tol = getf_required(*op, "tol");
  const long maxit = geti_required(*op, "maxit");
  const long cgmode = geti_required(*op, "cgmode");
  auto L = [this](const std::valarray<double>& y) { return normal(y); };
  CGSolver cg("CGSolver", static_cast<std::int64_t>(r), tol, 1e-120, 1e14, maxit, L, cgmode, 0, 0);

  const MatrixTemplate<double> ATb = op->matTvecprod(asColumn(b));
  requireSameLength(ATb.elements.size(), nn, "LSRN: block product has the wrong length");
  const std::valarray<double> c = transposedTimes(ATb.elements);
  const std::valarray<double> y = cg.solve(c, randvec(static_cast<long>(r)), control, nullptr);
  lsrn::printSolutionError(std::cerr, "\nLSRN CG sol error: ", L(y), L(y), c);

  x = times(y);
  it = cg.it;
  residual = cg.residual;
  status = lsrn::innerStatus(cg.flags, cg.residual, tol);
  return status;
}

}  // namespace Zelk::LSRN3

LSRN3Solver::LSRN3Solver(const SizedMMPOperator& op_)
    : op(&op_),
      m(saturateToInt32(op_.dim_m())),
      n(saturateToInt32(op_.dim_n())),
      oversample(getf_required(op_, "oversample")),
      batchsize(saturateToInt32(geti_required(op_, "batchsize"))),
      dump(saturateToInt32(op_.geti("dump", 0))),
      sys(op_, lsrn::sketchSize(n, m, oversample), n, m, dump, getf_required(op_, "invtol")) {}

void LSRN3Solver::solve(const std::valarray<double>& b, std::valarray<double>& x,
                        IterationControl* control) {
  const std::int32_t d = lsrn::sketchSize(n, m, oversample);
  const lsrn::Batches plan = lsrn::batches(d, batchsize);
  std::cerr << "Rand sys: " << d << " = " << plan.batch << " * " << d / plan.batch << " + "
            << d % plan.batch << "\n";

  MatrixTemplate<double>& ST = sys.decomp.a;
  ST.reshape(static_cast<std::size_t>(n > 0 ? n : 0), static_cast<std::size_t>(d));
  ST.elements = 0.0;
  std::int32_t start = 0;
  for (std::int32_t t = 0; t < plan.count && !stopRequested(control); ++t) {
    // The last batch may be shorter: the host sees exactly the columns that
    // are still missing.
    const std::int32_t v = std::min(plan.batch, d - start);
    MatrixTemplate<double> G(static_cast<std::size_t>(m), static_cast<std::size_t>(v));
    randfill(G.elements);
    const MatrixTemplate<double> Y = op->matTvecprod(G);
    if (Y.rows != ST.rows || Y.cols != static_cast<std::size_t>(v))
      throw std::invalid_argument("LSRN: sketch block has the wrong shape");
    for (std::size_t i = 0; i < ST.rows; ++i)
      for (std::int32_t j = 0; j < v; ++j) ST(i, static_cast<std::size_t>(start + j)) = Y(i, static_cast<std::size_t>(j));
    start += v;
  }
  status = sys.solve(b, x, control);
}
