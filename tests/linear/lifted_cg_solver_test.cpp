// Lifted CG: the shifted Hessian system solved with the diagonal
// preconditioner of the level in the option cgprecond.

#include <cmath>
#include <valarray>

#include <gtest/gtest.h>
#include <lapacke.h>

#include "linear/lifted_cg_solver.h"
#include "support/dense_hessian.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;
using hessian_test::DenseHessian;

class LiftedCGTest : public ::testing::Test {
 protected:
  void TearDown() override {
    opts.cgprecond = savedLevel_;
    state.status = savedStatus_;
  }
  double savedLevel_ = opts.cgprecond;
  std::int32_t savedStatus_ = state.status;

  // Symmetric positive definite, diagonal entries of different scale.
  static MatrixTemplate<double> hessian(int n) {
    MatrixTemplate<double> H(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        H.elements[static_cast<std::size_t>(i * n + j)] =
            (i == j ? 10.0 * (i + 1) : 0.0) + 1.0 / (1.0 + i + j);
    return H;
  }
};

TEST_F(LiftedCGTest, SolvesTheShiftedSystemAtEveryLevel) {
  const int n = 5;
  DenseHessian h{hessian(n)};
  const Vec b{1.0, -1.0, 2.0, 0.5, 3.0};

  for (double shift : {0.0, 0.5}) {
    Vec want = b;
    Vec a = h.H.elements;
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i * n + i)] += shift;
    ASSERT_EQ(LAPACKE_dposv(LAPACK_ROW_MAJOR, 'U', n, 1, &a[0], n, &want[0], 1), 0);

    // -1 and 7 give the preconditioner no diagonal of n entries: the solve
    // runs unpreconditioned instead of reading past the diagonal.
    for (double level : {-1.0, 0.0, 1.0, 2.0, 3.0, 7.0}) {
      opts.cgprecond = level;
      LiftedCGSolver<DenseHessian> solver(h, n, 1e-3, 1e-13, 27, 100, 1.0);
      state.innerIterations = 1000;
      Vec x;
      EXPECT_EQ(solver.do_solve(b, shift, x), 0) << level;
      ASSERT_EQ(x.size(), b.size());
      for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], want[i], 1e-10) << level << " " << shift;
      EXPECT_GT(solver.it, 0);
      // The count replaces the running total rather than adding to it.
      EXPECT_EQ(state.innerIterations, solver.it);
    }
  }

  // On a diagonal H the level-1 diagonal |1 / (H 1)| is H^-1 itself: the
  // first iteration solves (count 0). Without it CG needs at least one
  // iteration per distinct eigenvalue (count 2 or more).
  DenseHessian diagonal{MatrixTemplate<double>(3, 3, Vec{1, 0, 0, 0, 10, 0, 0, 0, 100})};
  for (double level : {1.0, 0.0, -1.0}) {
    opts.cgprecond = level;
    LiftedCGSolver<DenseHessian> solver(diagonal, 3, 1e-3, 1e-13, 27, 100, 1.0);
    Vec x;
    EXPECT_EQ(solver.do_solve(Vec{1.0, 1.0, 1.0}, 0.0, x), 0) << level;
    if (level == 1.0)
      EXPECT_EQ(solver.it, 0);
    else
      EXPECT_GE(solver.it, 2) << level;
    EXPECT_NEAR(x[2], 0.01, 1e-14) << level;  // the solve's relative tolerance 1e-13
  }
}

TEST_F(LiftedCGTest, ZeroRightHandSideStopsAtCountZero) {
  const int n = 4;
  DenseHessian h{hessian(n)};
  opts.cgprecond = 1.0;

  // b = 0: x = 0 at once, converged; the count 0 still reaches the run
  // state.
  LiftedCGSolver<DenseHessian> zero(h, n, 1e-3, 1e-13, 27, 100, 1.0);
  state.innerIterations = 1000;
  Vec x(7.0, 2);
  EXPECT_EQ(zero.do_solve(Vec(0.0, n), 0.0, x), 0);
  ASSERT_EQ(x.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(std::abs(x).max(), 0.0);
  EXPECT_EQ(zero.it, 0);
  EXPECT_EQ(state.innerIterations, 0);
}

}  // namespace
