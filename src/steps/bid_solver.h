#pragma once
// Golub-Kahan (upper) bidiagonalisation of an operator A known only through
// x -> A x and w -> A^T w, and the least-squares solution of A x ~ b on the
// Krylov space it builds.
//
// The recursion, with beta_0 = 0 and u_-1 = 0, from a unit start v_0:
//
//     alpha_i u_i     = A v_i   - beta_i  u_(i-1)
//     beta_(i+1) v_(i+1) = A^T u_i - alpha_i v_i
//
// gives A V_k^T = U_k^T B_k with the upper bidiagonal B_k (diagonal alpha,
// superdiagonal beta_1 .. beta_(k-1)) and orthonormal rows u_i of U, v_i of
// V. Every new u and v is reorthogonalised against all stored ones (modified
// Gram-Schmidt), so the bases stay orthonormal and the memory grows as
// k (rows + cols). The solution on the kept space is
//
//     x = V^T B^-1 U b,
//
// the least-squares solution of A x ~ b itself once k reaches the rank of
// A. The start v_0 is a random unit vector after ten power steps on A^T A,
// which turns it towards the dominant right singular vector; a caller's
// start vector replaces both (A^T b gives the Krylov spaces of the
// least-squares problem A x ~ b itself, whose range part of b the kept
// space then holds).
//
// Stops: the step limit; a step whose |u_i . u_0| or |v_i . v_0| exceeds
// 1e-13 ("crooked", exit 1: that step and the one before it are dropped);
// alpha_i below the tolerance times max(alpha_0, beta_1) ("tol reached",
// exit 2: that step is dropped). A zero alpha_i also ends the recursion
// there (the Krylov space is exhausted; for i = 0 A v_0 = 0, and then A is
// zero to working precision and x = 0 is exact). A zero beta_(i+1) means
// that the space spanned so far is invariant; the recursion goes on with a
// fresh random v orthogonal to V and keeps beta_(i+1) = 0, so that A = 2 I
// still yields x = b / 2. A beta_(i+1) at the rounding level of the products
// (at most max(rows, cols) eps max(alpha_0, beta_1)) counts as zero: the
// normalised rounding noise would otherwise become the next direction, and
// the orthogonality of V is lost within a few steps.
//
// The decomposition lives in a BIDSolInfo that the caller keeps, so that it
// can solve for further right-hand sides without another product.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <valarray>

#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/timer.h"
#include "steps/krylov_basis.h"
#include "steps/product_closure.h"
#include "steps/step_status.h"

// A bidiagonalisation and the outcome of the last solve with it.
struct BIDSolInfo {
  std::uint32_t rows = 0;       // rows of A
  std::uint32_t cols = 0;       // columns of A
  double tol = 0.0;             // relative tolerance on alpha
  std::uint32_t maxSteps = 0;   // step limit
  std::valarray<double> start;  // cols entries, or empty: a random start after power steps
  MatrixTemplate<double> U;     // u_i as rows (rows entries each); `steps` rows
  MatrixTemplate<double> V;     // v_i as rows (cols entries each); `steps` rows
  std::valarray<double> alpha;  // diagonal of B, maxSteps entries
  std::valarray<double> beta;   // beta[0] = 0, beta[i+1] = B(i, i+1); maxSteps + 1 entries
  double lastAlpha = 0.0;       // alpha[steps - 1], 0 without a step
  std::uint32_t steps = 0;      // order of B
  double residual = 0.0;        // relmaxnorm(A x, b) of the last solver run
  double normalResidual = 0.0;  // relmaxnorm(A^T A x, A^T b) of the last solver run
  // 0, StepStatus::NoStepKept (no step although A != 0) or
  // StepStatus::NonFinite (a product, b or x was not finite; x = 0).
  std::int32_t status = 0;

  BIDSolInfo() = default;
  BIDSolInfo(std::uint32_t rows_, std::uint32_t cols_, double tol_, std::uint32_t maxSteps_)
      : rows(rows_), cols(cols_), tol(tol_), maxSteps(maxSteps_) {}

  // x = V^T B^-1 U b with the stored decomposition (b: rows entries; x is
  // resized to cols). Without a kept step x = 0 and the decomposition's
  // status stands; otherwise the status becomes 0, or NonFinite when b or
  // the solution is not finite. Returns the status.
  std::int32_t solve(const std::valarray<double>& b, std::valarray<double>& x);
};

// The bidiagonalisation of A = (op, opT) into a caller's BIDSolInfo, whose
// dimensions, tolerance and step limit it takes.
template <class Op, class OpT>
class BIDSolver {
 public:
  BIDSolInfo* info;  // not owned
  const Op& op;      // x (cols) -> A x (rows)
  const OpT& opT;    // w (rows) -> A^T w (cols)
  std::uint32_t rows, cols;
  double tol;
  std::uint32_t maxSteps;

  BIDSolver(BIDSolInfo& info_, const Op& op_, const OpT& opT_)
      : info(&info_),
        op(op_),
        opT(opT_),
        rows(info_.rows),
        cols(info_.cols),
        tol(info_.tol),
        maxSteps(info_.maxSteps) {}
  // The solver keeps references: temporaries would dangle.
  BIDSolver(BIDSolInfo&, const Op&&, const OpT&) = delete;
  BIDSolver(BIDSolInfo&, const Op&, const OpT&&) = delete;
  virtual ~BIDSolver() = default;

  // Decomposes A into the record, solves A x ~ b (b: rows entries; x resized
  // to cols) and measures the residuals. Returns the record's status.
  std::int32_t solve(const std::valarray<double>& b, std::valarray<double>& x);

  enum Exit : int { RanOut = 0, Crooked = 1, TolReached = 2, NonFiniteProduct = 3 };

  // The recursion into the record; returns the exit code and leaves
  // `steps`, `lastAlpha`, the row counts and the status in the record.
  int decompose();

 private:
  // The residual measures of x; false when a product is not finite.
  bool measure(const std::valarray<double>& b, const std::valarray<double>& x);
};

// y_0 .. y_(k-1) solving B y = c by back substitution, for the upper
// bidiagonal B with diagonal d_0 .. d_(k-1) and B(i, i + 1) = s_(i+1) (the
// layout of BIDSolInfo's alpha and beta). False at the first y_i that is not
// finite: a tiny d_i may overflow the quotient, and an infinite y_i must not
// reach the next product. Never traps.
bool solveUpperBidiagonal(const std::valarray<double>& d, const std::valarray<double>& s,
                          const std::valarray<double>& c, std::size_t k,
                          std::valarray<double>& y);

// The trace line of step i of the recursion; ends in a carriage return so
// that a terminal shows only the latest step.
void traceBidStep(std::uint32_t i, double alpha, double normB, double beta, double abstol,
                  double orthU, double orthV);

template <class Op, class OpT>
int BIDSolver<Op, OpT>::decompose() {
  BIDSolInfo& I = *info;
  // resize sets every entry.
  I.alpha.resize(maxSteps, 0.0);
  I.beta.resize(maxSteps + std::size_t{1}, 0.0);
  std::size_t capacity = 2;
  I.U = MatrixTemplate<double>(capacity, rows);
  I.V = MatrixTemplate<double>(capacity, cols);
  I.steps = 0;
  I.lastAlpha = 0.0;
  I.status = 0;

  // Whether an empty decomposition is still exact: A v_0 = 0, or no
  // unknowns or no rows at all.
  bool zeroOperator = rows == 0 || cols == 0;
  auto finish = [&I, &zeroOperator](std::uint32_t steps, int code) {
    if (steps == 0 && I.status == 0 && !zeroOperator) I.status = StepStatus::NoStepKept;
    I.steps = steps;
    I.lastAlpha = steps > 0 ? I.alpha[steps - 1] : 0.0;
    I.U.rows = steps;
    I.V.rows = steps;
    return code;
  };
  auto fail = [&I, &finish]() {
    I.status = StepStatus::NonFinite;
    return finish(0, NonFiniteProduct);
  };

  // The Krylov space cannot outgrow the smaller dimension.
  const std::uint32_t limit = std::min({maxSteps, rows, cols});
  const double startNorm =
      I.start.size() == cols && allFinite(I.start) ? normfro(I.start) : 0.0;
  const bool started = startNorm > 0.0 && std::isfinite(startNorm);
  std::valarray<double> v(cols), u(rows), Av(rows), Atu(cols);
  if (started)
    v = I.start / startNorm;
  else
    v = randomUnitVector(cols);
  for (int k = 0; k < 10 && limit > 0 && !started; ++k) {
    if (!applyProduct(op, v, Av) || !applyProduct(opT, Av, Atu)) return fail();
    // A zero product leaves no direction to follow: keep the last one.
    if (normfro(Atu) == 0.0) break;
    v = Atu;
    normalize(v);
  }

  // A vector that vanishes (alpha_i = 0, or nothing left after the
  // reorthogonalisation) means that the Krylov space is exhausted.
  auto exhausted = [&finish](std::uint32_t steps) {
    std::cerr << "\ntol reached\n";
    return finish(steps, TolReached);
  };
  double normB = 0.0, abstol = 0.0;
  // A beta at the rounding level of the products counts as zero.
  const double breakdown = static_cast<double>(std::max(rows, cols)) * DBL_EPSILON;
  for (std::uint32_t i = 0; i < limit; ++i) {
    if (i == capacity) {
      capacity = std::min<std::size_t>(2 * capacity, limit);
      growRows(I.U, capacity);
      growRows(I.V, capacity);
    }
    double orthV = 0.0, orthU = 0.0;
    if (!appendOrthonormalRow(I.V, i, v, orthV)) return exhausted(i);

    if (!applyProduct(op, v, Av)) return fail();
    u = Av - I.beta[i] * u;
    I.alpha[i] = normfro(u);
    zeroOperator = i == 0 && I.alpha[0] == 0.0;
    if (I.alpha[i] == 0.0) return exhausted(i);
    u /= I.alpha[i];
    if (!appendOrthonormalRow(I.U, i, u, orthU)) return exhausted(i);

    if (!applyProduct(opT, u, Atu)) return fail();
    v = Atu - I.alpha[i] * v;
    I.beta[i + 1] = normfro(v);
    if (i == 0) {
      normB = quietMax(I.beta[1], I.alpha[0]);
      abstol = normB * tol;
    }
    if (I.beta[i + 1] > breakdown * normB) {
      v /= I.beta[i + 1];
    } else {
      // Rounding noise is no direction: restart orthogonally to V.
      I.beta[i + 1] = 0.0;
      v = freshDirection(I.V, i + 1);
    }
    traceBidStep(i, I.alpha[i], normB, I.beta[i + 1], abstol, orthU, orthV);

    if (quietGreater(orthU, 1e-13) || quietGreater(orthV, 1e-13)) {
      std::cerr << "\ncrooked\n";
      return finish(i - 1, Crooked);
    }
    if (quietLess(I.alpha[i], abstol)) return exhausted(i);
  }
  std::cerr << "\n";
  return finish(limit, RanOut);
}

template <class Op, class OpT>
bool BIDSolver<Op, OpT>::measure(const std::valarray<double>& b, const std::valarray<double>& x) {
  std::valarray<double> Ax(rows), AtAx(cols), Atb(cols);
  if (!applyProduct(op, x, Ax) || !applyProduct(opT, Ax, AtAx) || !applyProduct(opT, b, Atb))
    return false;
  info->residual = relmaxnorm(Ax, b);
  info->normalResidual = relmaxnorm(AtAx, Atb);
  return true;
}

template <class Op, class OpT>
std::int32_t BIDSolver<Op, OpT>::solve(const std::valarray<double>& b, std::valarray<double>& x) {
  requireSameLength(b.size(), rows, "BIDSolver: the right-hand side needs one entry per row");
  Timer timer("BIDecomp");
  BIDSolInfo& I = *info;
  int exitCode;
  if (!allFinite(b)) {
    // Nothing to decompose for: no product is spent on it.
    I.U = MatrixTemplate<double>(0, rows);
    I.V = MatrixTemplate<double>(0, cols);
    I.steps = 0;
    I.lastAlpha = 0.0;
    I.status = StepStatus::NonFinite;
    exitCode = NonFiniteProduct;
  } else {
    exitCode = decompose();
  }
  I.solve(b, x);
  if (I.status != StepStatus::NonFinite && !measure(b, x)) {
    I.status = StepStatus::NonFinite;
    x = 0.0;
  }
  if (I.status == StepStatus::NonFinite) {
    I.residual = std::numeric_limits<double>::infinity();
    I.normalResidual = std::numeric_limits<double>::infinity();
  }
  std::cerr << "BID decomp exit " << exitCode << " " << I.steps << " " << I.lastAlpha << " "
            << I.residual << " " << I.normalResidual << "\n";
  return I.status;
}
