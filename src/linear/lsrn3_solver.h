#pragma once
// LSRN, block form: the same randomised preconditioning as the vector form,
// on a block operator (SizedMMPOperator). The sketch is built transposed,
// S^T = A^T G^T, one block product per batch of "batchsize" random
// columns; with its thin SVD S^T = U diag(s) VT the preconditioner is
// P = U_r diag(1/s_r).
//
// Options read from the operator: "dim_m", "dim_n" (long); the solve's
// "tol" (double), "maxit" and "cgmode" (long), all required.

#include <cstdint>
#include <valarray>

#include "dense/decomposed_general.h"
#include "dense/matrix.h"
#include "linear/iteration_control.h"
#include "linear/sized_operator.h"

namespace Zelk::LSRN3 {

class LSRNSolveSys {
 public:
  const SizedMMPOperator* op;
  std::int32_t d;  // sketch columns
  std::int32_t n;
  std::int32_t m;
  DecomposedGeneralMatrix decomp;  // `a` holds S^T (n x d) before solve
  MatrixTemplate<double> N;        // P, n x r
  std::int32_t dump;               // stored only
  double invtol;
  std::int32_t status = 0;
  std::int64_t it = 0;
  double residual = 0.0;
  double cond = 0.0;

  LSRNSolveSys(const SizedMMPOperator& op_, std::int32_t d_, std::int32_t n_, std::int32_t m_,
               std::int32_t dump_, double invtol_)
      : op(&op_), d(d_), n(n_), m(m_), dump(dump_), invtol(invtol_) {}

  // x <- the least-squares solution (n values); returns the status (the
  // inner CG's flags, or lsrn::kSketchFailed).
  int solve(const std::valarray<double>& b, std::valarray<double>& x, IterationControl* control);

 private:
  std::valarray<double> normal(const std::valarray<double>& y) const;
  std::valarray<double> transposedTimes(const std::valarray<double>& w) const;  // N^T w
  std::valarray<double> times(const std::valarray<double>& y) const;            // N y
};

}  // namespace Zelk::LSRN3

class LSRN3Solver {
 public:
  const SizedMMPOperator* op;
  std::int32_t m;
  std::int32_t n;
  double oversample;
  std::int32_t batchsize;
  std::int32_t dump;
  Zelk::LSRN3::LSRNSolveSys sys;
  std::int32_t status = 0;

  // Reads "dim_m", "dim_n", "oversample" (double), "batchsize" (long) and
  // "dump" (long, default 0), and "invtol" (double) for the solver proper.
  explicit LSRN3Solver(const SizedMMPOperator& op_);
  LSRN3Solver(const SizedMMPOperator&&) = delete;

  // Builds the sketch, then solves; the status is left in `status`.
  void solve(const std::valarray<double>& b, std::valarray<double>& x, IterationControl* control);
};
