// The diagonal Hessian preconditioner and the lifted CG that applies it.

#include <cmath>
#include <valarray>

#include <gtest/gtest.h>
#include <lapacke.h>

#include "dense/matrix.h"
#include "linear/lifted_cg_solver.h"
#include "minimize/preconditioner.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

// H V for a dense row-major H, counting block products.
struct DenseHessian {
  MatrixTemplate<double> H;
  mutable int products = 0;
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& V) const {
    ++products;
    MatrixTemplate<double> R;
    do_mult_blas(H, V, R, false);
    return R;
  }
};

class PreconditionerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    opts.precondZero = savedZero_;
    opts.cgprecond = savedLevel_;
    state.status = savedStatus_;
  }
  unsigned savedZero_ = opts.precondZero;
  double savedLevel_ = opts.cgprecond;
  std::int32_t savedStatus_ = state.status;
};

TEST_F(PreconditionerTest, LevelsFromRowSums) {
  DenseHessian h{MatrixTemplate<double>(2, 2, Vec{2.0, 0.0, 0.0, 4.0})};
  Preconditioner<DenseHessian> p(h, 2, 1e-3, 27);
  Vec d{9.0};

  p.update(d, -1);
  EXPECT_EQ(d.size(), 0u);
  EXPECT_EQ(h.products, 0);

  p.update(d, 0);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0], 1.0);
  EXPECT_EQ(p.scale, 4.0);
  EXPECT_EQ(h.products, 1);

  p.update(d, 1);
  EXPECT_EQ(d[0], 0.5);
  EXPECT_EQ(d[1], 0.25);

  // v = u / ||u|| = (2, 4) / sqrt(20); H v = (4, 16) / sqrt(20).
  const double r = std::sqrt(20.0);
  p.update(d, 2);
  EXPECT_NEAR(d[0], r / 4.0 + 0.5, 1e-15);
  EXPECT_NEAR(d[1], r / 16.0 + 0.25, 1e-15);
  p.update(d, 3);
  EXPECT_NEAR(d[0], r / 4.0 + 0.5 + 1.0 / (2.0 + 4.0 / r), 1e-15);
  EXPECT_NEAR(d[1], r / 16.0 + 0.25 + 1.0 / (4.0 + 16.0 / r), 1e-15);

  // An undefined level gives no diagonal rather than a guess.
  p.update(d, 4);
  EXPECT_EQ(d.size(), 0u);

  // A zero row sum: 1.0 in its place and status bit 0x100, or kept as 0.
  DenseHessian z{MatrixTemplate<double>(2, 2, Vec{2.0, 0.0, 1.0, -1.0})};
  Preconditioner<DenseHessian> q(z, 2, 1e-3, 27);
  state.status = 0;
  opts.precondZero = 0;
  q.update(d, 1);
  EXPECT_EQ(d[0], 0.5);
  EXPECT_EQ(d[1], 1.0);
  EXPECT_EQ(state.status & 0x100, 0x100);
  opts.precondZero = 1;
  q.update(d, 1);
  EXPECT_EQ(d[1], 0.0);

  // All row sums zero: every level stays finite.
  DenseHessian flat{MatrixTemplate<double>(2, 2, Vec{1.0, -1.0, -1.0, 1.0})};
  Preconditioner<DenseHessian> f(flat, 2, 1e-3, 27);
  opts.precondZero = 0;
  f.update(d, 3);
  EXPECT_TRUE(std::isfinite(d[0]) && std::isfinite(d[1]));
}

TEST_F(PreconditionerTest, LiftedCGSolvesTheShiftedSystemAtEveryLevel) {
  const int n = 5;
  MatrixTemplate<double> H(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      H.elements[static_cast<std::size_t>(i * n + j)] =
          (i == j ? 10.0 * (i + 1) : 0.0) + 1.0 / (1.0 + i + j);
  DenseHessian h{H};
  const Vec b{1.0, -1.0, 2.0, 0.5, 3.0};
  const double shift = 0.5;

  Vec want = b;
  std::valarray<double> a = H.elements;
  for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i * n + i)] += shift;
  ASSERT_EQ(LAPACKE_dposv(LAPACK_ROW_MAJOR, 'U', n, 1, &a[0], n, &want[0], 1), 0);

  for (double level : {-1.0, 0.0, 1.0, 2.0, 3.0, 7.0}) {
    opts.cgprecond = level;
    LiftedCGSolver<DenseHessian> solver(h, n, 1e-3, 1e-13, 27, 100, 1.0);
    Vec x;
    EXPECT_EQ(solver.do_solve(b, shift, x), 0) << level;
    ASSERT_EQ(x.size(), b.size());
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], want[i], 1e-10) << level;
    EXPECT_EQ(state.innerIterations, solver.it);
  }
}

}  // namespace
