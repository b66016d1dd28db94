#pragma once
// LSRN, vector form: least squares min ||A x - b|| for an m x n operator
// given as the two products x -> A x and y -> A^T y, preconditioned by a
// random sketch S = G A (G with d = ceil(oversample n) rows of generator
// numbers): with the thin SVD S = U diag(s) VT and its rank r at the cut
// invtol, P = V_r diag(1/s_r), and CG solves P^T A^T A P y = P^T A^T b;
// then x = P y.
//
// LSRNGetRandSys builds the sketch, LSRNSolveSys the rest. Both are
// templates with a closure type per product (A, A^T, and for the sketch
// optionally a block A^T), each in either shape of linear/product_call.h:
// the operator classes of the linear solves return their products, the
// step solvers' closures write them. Given a block closure, the sketch
// costs one call per batch: the batch is handed over as k contiguous
// random m-vectors (k = element count / m) and answers k contiguous
// n-vectors, which are the next k rows of S. Every step prints its
// diagnostics to standard error.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <type_traits>
#include <valarray>

#include "dense/decomposed_general.h"
#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/printers.h"
#include "dense/random.h"
#include "linear/cg_solver.h"
#include "linear/iteration_control.h"
#include "linear/lsrn_report.h"
#include "linear/product_call.h"
#include "linear/saturate.h"
#include "options/option_cast.h"
#include "options/opts.h"

namespace lsrn {
// The block-closure type of a sketch built one product per row.
struct NoBlockProduct {};
}  // namespace lsrn

template <class AOp, class ATOp = AOp, class ATBlockOp = lsrn::NoBlockProduct>
class LSRNGetRandSys {
 public:
  const AOp& A;
  const ATOp& AT;
  const ATBlockOp* ATblock = nullptr;  // W -> A^T W on k vectors at once; not owned
  std::int32_t m;
  std::int32_t n;
  double oversample;

  LSRNGetRandSys(const AOp& A_, const ATOp& AT_, std::int32_t m_, std::int32_t n_,
                 double oversample_)
      : A(A_), AT(AT_), m(m_), n(n_), oversample(oversample_) {}
  LSRNGetRandSys(const AOp& A_, const ATOp& AT_, const ATBlockOp& ATblock_, std::int32_t m_,
                 std::int32_t n_, double oversample_)
      : A(A_), AT(AT_), ATblock(&ATblock_), m(m_), n(n_), oversample(oversample_) {}
  // The builder keeps references: temporaries would dangle.
  LSRNGetRandSys(const AOp&&, const ATOp&, std::int32_t, std::int32_t, double) = delete;
  LSRNGetRandSys(const AOp&, const ATOp&&, std::int32_t, std::int32_t, double) = delete;
  LSRNGetRandSys(const AOp&, const ATOp&, const ATBlockOp&&, std::int32_t, std::int32_t,
                 double) = delete;

  // S = G A, d x n (d = lsrn::sketchSize), one row A^T g per random vector
  // g, in batches of at most 1000; with a block closure one call per batch.
  // A stop request leaves the remaining rows zero.
  void getRandSys(MatrixTemplate<double>& S, IterationControl* control) const {
    const std::int32_t d = lsrn::sketchSize(n, m, oversample);
    const lsrn::Batches plan = lsrn::batches(d, 1000);
    S.reshape(static_cast<std::size_t>(d), static_cast<std::size_t>(n));
    S.elements = 0.0;
    std::int32_t start = 0;
    for (std::int32_t t = 0; t < plan.count && !stopRequested(control); ++t) {
      const std::int32_t v = std::min(plan.batch, d - start);
      if (!blockRows(S, start, v)) {
        for (std::int32_t j = 0; j < v && !stopRequested(control); ++j) {
          const std::valarray<double> y = callProduct(AT, randvec(m), static_cast<std::size_t>(n));
          requireSameLength(y.size(), static_cast<std::size_t>(n),
                            "LSRN: transposed product has the wrong length");
          std::copy(std::begin(y), std::end(y),
                    &S.elements[static_cast<std::size_t>(start + j) * static_cast<std::size_t>(n)]);
        }
      }
      start += v;
    }
  }

 private:
  // Rows start .. start + v - 1 of S from one block product; false without
  // a block closure.
  bool blockRows(MatrixTemplate<double>& S, std::int32_t start, std::int32_t v) const {
    if constexpr (std::is_same_v<ATBlockOp, lsrn::NoBlockProduct>) {
      return false;
    } else {
      if (ATblock == nullptr) return false;
      const std::size_t k = static_cast<std::size_t>(v), nn = static_cast<std::size_t>(n);
      std::valarray<double> G(k * static_cast<std::size_t>(m));
      randfill(G);
      const std::valarray<double> Y = callProduct(*ATblock, G, k * nn);
      requireSameLength(Y.size(), k * nn, "LSRN: block transposed product has the wrong length");
      std::copy(std::begin(Y), std::end(Y), &S.elements[static_cast<std::size_t>(start) * nn]);
      return true;
    }
  }
};

template <class AOp, class ATOp = AOp>
class LSRNSolveSys {
 public:
  const AOp& A;
  const ATOp& AT;
  std::int32_t d;  // sketch rows
  std::int32_t n;
  std::int32_t m;  // rows of A
  double maxit;    // iteration limit of the inner CG
  double tol;      // its tolerance
  double invtol;   // relative cut of the sketch's singular values
  DecomposedGeneralMatrix decomp;  // `a` holds the sketch before solve
  MatrixTemplate<double> N;        // P^T, r x n
  std::int32_t status = 0;
  std::int32_t it = 0;
  double residual = 0.0;
  double cond = 0.0;

  LSRNSolveSys(const AOp& A_, const ATOp& AT_, std::int32_t m_, std::int32_t n_, std::int32_t d_,
               double maxit_, double tol_, double invtol_)
      : A(A_), AT(AT_), d(d_), n(n_), m(m_), maxit(maxit_), tol(tol_), invtol(invtol_) {}
  // The solver keeps references: temporaries would dangle.
  LSRNSolveSys(const AOp&&, const ATOp&, std::int32_t, std::int32_t, std::int32_t, double, double,
               double) = delete;
  LSRNSolveSys(const AOp&, const ATOp&&, std::int32_t, std::int32_t, std::int32_t, double, double,
               double) = delete;

  // x <- the least-squares solution (n values); returns the status (the
  // inner CG's flags, or lsrn::kSketchFailed).
  int solve(const std::valarray<double>& b, std::valarray<double>& x, IterationControl* control);

 private:
  // L(y) = N A^T A N^T y, printing "," per call.
  std::valarray<double> normal(const std::valarray<double>& y) const {
    std::cerr << ",";
    const std::valarray<double> u = transposedTimes(y);
    const std::valarray<double> w =
        transposedProduct(callProduct(A, u, static_cast<std::size_t>(m)));
    return times(w);
  }
  std::valarray<double> transposedProduct(const std::valarray<double>& v) const {  // A^T v
    return callProduct(AT, v, static_cast<std::size_t>(n));
  }
  std::valarray<double> times(const std::valarray<double>& w) const {  // N w
    return matrixVectorProduct(N, w);
  }
  std::valarray<double> transposedTimes(const std::valarray<double>& y) const {  // N^T y
    return matrixTransposeVectorProduct(N, y);
  }
};

template <class AOp, class ATOp>
int LSRNSolveSys<AOp, ATOp>::solve(const std::valarray<double>& b, std::valarray<double>& x,
                                   IterationControl* control) {
  const lsrn::SketchFactors f = lsrn::factorSketch(
      std::cerr, decomp, n, static_cast<std::int32_t>(decomp.a.rows), invtol, false, false);
  it = 0;
  if (!f.usable) return status = lsrn::giveUp(x, n, residual);
  const std::size_t r = f.rank;
  const std::valarray<double>& Dr = f.inverse;
  std::cerr << "Idiag: " << f.idiagRank << ": " << ShowVector<double>(Dr) << "\n";
  cond = lsrn::conditionNumber(decomp.s);

  N = MatrixTemplate<double>(r, static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < static_cast<std::size_t>(n); ++j) N(i, j) = Dr[i] * decomp.VT(i, j);

  auto L = [this](const std::valarray<double>& y) { return normal(y); };
  CGSolver cg("CGSolver", static_cast<std::int64_t>(r), tol, 1e-120, 1e14,
              option_cast<long>(maxit, 0L), L, opts.cgmode, opts.cgrec, opts.cgreset);
  const std::valarray<double> c = times(transposedProduct(b));
  const std::valarray<double> y = cg.solve(c, randvec(static_cast<long>(r)), control, nullptr);
  lsrn::printSolutionError(std::cerr, "LSRN CG sol error: ", L(y), L(y), c);

  x = transposedTimes(y);
  it = saturateToInt32(static_cast<long>(cg.it));
  residual = cg.residual;
  status = lsrn::innerStatus(cg.flags, cg.residual, tol);
  return status;
}
