#pragma once
// Block LOBPCG: the smallest eigenvalues and eigenvectors of a symmetric
// operator known only as a block product V -> A V (n x c blocks, one vector
// per column), with a preconditioner R -> T R on residual blocks.
//
// Each iteration solves the small generalised eigenproblem of A on the span
// of [X, W, P] (current block, preconditioned residuals, previous
// directions), locks every Ritz pair whose residual measure ||A x - q x|| / n
// falls below tol (replacing its column by a random one), and restarts once
// from a random block when the small problem turns unreliable. A block that
// cannot fit its search space (3 k >= n) is solved densely instead.
//
// Op and Precond may be reference types. A preconditioner that returns a
// block without columns counts as the identity.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <valarray>
#include <vector>

#include "dense/decomposed_sym.h"
#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "eigen/lobpcg_blocks.h"
#include "linear/solve_deadline.h"
#include "options/global_state.h"
#include "options/opts.h"

template <class Op, class Precond>
class Lobpcg {
 public:
  Op op;
  Precond precond;
  std::int64_t n;
  double tol;
  std::int64_t maxit;
  double minResidual = 0.0;  // smallest residual measure of the last iteration

  Lobpcg(Op op_, Precond precond_, std::int64_t n_, double tol_, std::int64_t maxit_)
      : op(op_), precond(precond_), n(n_), tol(tol_), maxit(maxit_) {}

  // X: start block in, current block out (n x k). Y: the locked vectors (emptied
  // first). lambda: their values in locking order, replaced only when the call
  // ends normally with at least one pair locked. theta: the current Ritz
  // values. Returns 0 normally, 2 when the restart budget is spent.
  int solve(MatrixTemplate<double>& X, MatrixTemplate<double>& Y, std::valarray<double>& lambda,
            std::int64_t nev, std::valarray<double>& theta);

  static void grams2(MatrixTemplate<double>& A, const MatrixTemplate<double>& B) {
    lobpcg_blocks::grams2(A, &B);
  }

 private:
  MatrixTemplate<double> apply(const MatrixTemplate<double>& V) const { return op(V); }
  MatrixTemplate<double> preconditioned(const MatrixTemplate<double>& R) const {
    MatrixTemplate<double> W = precond(R);
    return W.cols == 0 ? R : W;
  }
  int solveDensely(MatrixTemplate<double>& X, MatrixTemplate<double>& Y,
                   std::valarray<double>& lambda, std::int64_t nev, std::valarray<double>& theta);
};

template <class Op, class Precond>
int Lobpcg<Op, Precond>::solveDensely(MatrixTemplate<double>& X, MatrixTemplate<double>& Y,
                                      std::valarray<double>& lambda, std::int64_t nev,
                                      std::valarray<double>& theta) {
  // The whole matrix from n products with the unit vectors; every pair is
  // then exact, so the wanted ones are locked at once.
  const std::size_t dim = static_cast<std::size_t>(n), k = X.cols;
  const MatrixTemplate<double> A = mksym(apply(eye(dim, dim)));
  const DecomposedSymMatrix_syevd d(A, decompChecks());
  if (d.lapackInfo != 0) return 2;
  const std::size_t locked = std::min<std::size_t>(dim, static_cast<std::size_t>(std::max<std::int64_t>(nev, 1)));
  std::valarray<double> values(dim);
  for (std::size_t j = 0; j < dim; ++j) values[j] = d.s[j] * d.sign[j];
  for (std::size_t j = 0; j < locked; ++j) lobpcg_blocks::appendColumn(Y, lobpcg_blocks::column(d.U, j));
  for (std::size_t j = 0; j < k; ++j)
    lobpcg_blocks::setColumn(X, j, lobpcg_blocks::column(d.U, std::min(j, dim - 1)));
  theta.resize(k);
  for (std::size_t j = 0; j < k; ++j) theta[j] = values[std::min(j, dim - 1)];
  lambda = std::valarray<double>(values[std::slice(0, locked, 1)]);
  minResidual = 0.0;
  return 0;
}

template <class Op, class Precond>
int Lobpcg<Op, Precond>::solve(MatrixTemplate<double>& X, MatrixTemplate<double>& Y,
                               std::valarray<double>& lambda, std::int64_t nev,
                               std::valarray<double>& theta) {
  namespace lb = lobpcg_blocks;
  Y = MatrixTemplate<double>();
  const std::size_t k = X.cols;
  if (k == 0 || n <= 0) return 0;
  // A dense solve stands in for the iterations, so it is skipped whenever
  // no iteration would run: then only the start block is rotated below.
  const bool dense = 3 * static_cast<std::int64_t>(k) >= n;
  if (dense && maxit > 0 && state.request.load() == 0)
    return solveDensely(X, Y, lambda, nev, theta);

  lb::grams2(X, nullptr);
  MatrixTemplate<double> AX = apply(X);
  theta = lb::rotateToRitzVectors(X, AX);
  if (dense) return 0;
  AX = apply(X);
  MatrixTemplate<double> R = lb::residualBlock(AX, X, theta);
  std::valarray<double> r(0.0, k);
  MatrixTemplate<double> P;
  std::vector<double> lockedValues;
  int restarts = 0;
  const bool trace = (opts.trace & 4) != 0;
  const double nd = static_cast<double>(n);

  for (std::int64_t it = 0; it < maxit; ++it) {
    if (state.request.load() != 0 || SolveDeadline::passed()) break;

    MatrixTemplate<double> W = preconditioned(R);
    if (Y.cols > 0) {
      MatrixTemplate<double> YtW = transposed(Y) * W;
      MatrixTemplate<double> YYtW;
      do_mult_blas(Y, YtW, YYtW, false);
      do_binminus(W, W, YYtW);
    }
    const MatrixTemplate<double> S = cbind(cbind(X, W), P);
    const std::size_t m = S.cols;
    const MatrixTemplate<double> AS = apply(S);
    const MatrixTemplate<double> GA = mksym(MatrixTemplate<double>(transposed(S) * AS));
    const MatrixTemplate<double> GB = mksym(MatrixTemplate<double>(transposed(S) * S));

    const DecomposedSymMatrixB_sygvd pencil(GA, GB, decompChecks());
    std::valarray<double> thetaS = pencil.s;
    const bool failed = pencil.lapackInfo != 0 || !quietLess(pencil.relerr1(), 1e-5) ||
                        !quietLess(pencil.relerrU(), 1e-5) || thetaS.size() != m;
    if (failed) thetaS = std::valarray<double>(1.0, m);
    const MatrixTemplate<double>& Z = pencil.U;

    const std::valarray<double> absTheta = std::abs(thetaS);
    const double rc = quietDivide(quietMinEntry(absTheta), quietMaxEntry(absTheta));
    double eO = std::numeric_limits<double>::quiet_NaN();
    if (Z.rows == m && Z.cols == m) {
      MatrixTemplate<double> GBZ, M;
      do_mult_blas(GB, Z, GBZ, false);
      M = transposed(Z) * GBZ;
      std::valarray<double> diag(m);
      for (std::size_t i = 0; i < m; ++i) diag[i] = M(i, i);
      const double dn = normfro(diag);
      eO = quietDivide(normfro(M.elements) - dn, dn);
    }

    if (quietLess(rc, 1e-10) || quietGreater(eO, 1e-5) || failed) {
      std::cerr << "do restart " << restarts << ": rc=" << rc << ",eO=" << eO
                << ",c=" << (failed ? 1 : 0) << "\n";
      if (++restarts > 1) return 2;
      for (;;) {
        X = lb::randomBlock(static_cast<std::size_t>(n), k);
        lb::grams2(X, &Y);
        MatrixTemplate<double> E = transposed(X) * X;
        for (std::size_t i = 0; i < k; ++i) E(i, i) -= 1.0;
        if (quietLess(normfro(E.elements), 1e-5)) break;
        if (++restarts == 2) return 2;
      }
      AX = apply(X);
      theta = lb::rotateToRitzVectors(X, AX);
      AX = apply(X);
      R = lb::residualBlock(AX, X, theta);
      P = MatrixTemplate<double>();
      continue;
    }

    // The k smallest pairs: the new directions from the W and P parts of
    // their coefficients, the new block from all of them.
    for (std::size_t j = 0; j < k; ++j) theta[j] = thetaS[j];
    MatrixTemplate<double> Zk(m, k);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < k; ++j) Zk(i, j) = Z(i, j);
    if (m > k) {
      P = lb::timesRows(cbind(W, P), Zk, k, m - k);
      X = lb::timesRows(X, Zk, 0, k);
      X.elements += P.elements;
    } else {
      X = lb::timesRows(X, Zk, 0, k);
      P = MatrixTemplate<double>();
    }
    AX = apply(X);
    R = lb::residualBlock(AX, X, theta);

    bool lockedAny = false;
    for (std::size_t i = 0; i < k; ++i) {
      r[i] = normfro(lb::column(R, i)) / nd;
      if (quietLess(r[i], tol)) {
        lb::appendColumn(Y, lb::column(X, i));
        lockedValues.push_back(theta[i]);
        lb::setColumn(X, i, randvec(static_cast<long>(n)));
        lockedAny = true;
      }
    }
    minResidual = quietMinEntry(r);
    if (trace) std::cerr << ": " << minResidual << std::flush;
    if (lockedAny) {
      if (trace) std::cerr << "(" << lockedValues.back() << "...)" << std::flush;
      lb::grams2(X, &Y);
    }
    if (trace) std::cerr << "     \r" << std::flush;

    if (static_cast<std::int64_t>(Y.cols) >= nev) break;
    if (it == maxit - 1 && Y.cols == 0) {
      // Nothing converged: report the best pair there is.
      std::size_t best = k;
      for (std::size_t j = 0; j < k; ++j)
        if (quietLess(theta[j], 1e100) && (best == k || quietLess(theta[j], theta[best])))
          best = j;
      if (best < k) {
        lb::appendColumn(Y, lb::column(X, best));
        lockedValues.push_back(theta[best]);
      }
    }
  }

  if (!lockedValues.empty()) lambda = std::valarray<double>(lockedValues.data(), lockedValues.size());
  return 0;
}
