// The diagonal Hessian preconditioner.

#include <cmath>
#include <valarray>

#include <gtest/gtest.h>

#include "linear/preconditioner.h"
#include "support/dense_hessian.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

using hessian_test::DenseHessian;

class PreconditionerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    opts.precondZero = savedZero_;
    state.status = savedStatus_;
  }
  unsigned savedZero_ = opts.precondZero;
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
  EXPECT_EQ(h.products, 6);  // one product at levels 0 and 1, two at 2 and 3

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

}  // namespace
