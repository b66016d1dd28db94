// Block LOBPCG and the min/max eigenvalue finder on operators with known
// spectra.

#include <algorithm>
#include <cmath>
#include <string>
#include <valarray>

#include <gtest/gtest.h>

#include "dense/matrix.h"
#include "eigen/find_min_max_eig_value.h"
#include "eigen/lobpcg.h"
#include "eigen/lobpcg_blocks.h"
#include "support/dense_hessian.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;
using Block = MatrixTemplate<double>;

using DenseOp = hessian_test::DenseHessian;

struct Identity {
  Block operator()(const Block& R) const { return R; }
};

DenseOp diagonal(const Vec& d) {
  Block A(d.size(), d.size());
  for (std::size_t i = 0; i < d.size(); ++i) A(i, i) = d[i];
  return DenseOp{A};
}

DenseOp secondDifference(std::size_t n) {
  Block A(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    A(i, i) = 2.0;
    if (i + 1 < n) A(i, i + 1) = A(i + 1, i) = -1.0;
  }
  return DenseOp{A};
}

class LobpcgTest : public ::testing::Test {
 protected:
  void TearDown() override {
    opts.evprecond1 = saved_[0];
    opts.evprecond2 = saved_[1];
    opts.evn = saved_[2];
    opts.fullMinEV = fullMin_;
    opts.fullMaxEV = fullMax_;
    state.request = 0;
  }
  double saved_[3] = {opts.evprecond1, opts.evprecond2, opts.evn};
  int fullMin_ = opts.fullMinEV, fullMax_ = opts.fullMaxEV;
};

TEST_F(LobpcgTest, SmallestEigenpairsOfTheSecondDifferenceMatrix) {
  const std::size_t n = 40;
  const DenseOp T = secondDifference(n);
  auto exact = [n](int k) { return 2.0 - 2.0 * std::cos(k * M_PI / (n + 1.0)); };

  for (std::int64_t nev : {1, 3}) {
    Lobpcg<const DenseOp&, Identity> solver(T, Identity{}, n, 1e-9, 500);
    Block X = lobpcg_blocks::randomBlock(n, 4), Y;
    Vec lambda, theta;
    ASSERT_EQ(solver.solve(X, Y, lambda, nev, theta), 0);
    ASSERT_GE(static_cast<std::int64_t>(lambda.size()), nev);
    EXPECT_EQ(Y.cols, lambda.size());
    // The first locked vector is an eigenvector of the first locked value.
    const Vec y0 = lobpcg_blocks::column(Y, 0);
    const Vec Ay = T(Block(n, 1, y0)).elements;
    EXPECT_LT(std::abs(Ay - lambda[0] * y0).max(), 1e-6);
    // Every locked value is one of the lowest eigenvalues (the first pair to
    // converge is locked, which in a block of 4 need not be the lowest).
    for (double l : lambda) {
      double gap = 1.0;
      for (int j = 1; j <= 4 + static_cast<int>(nev); ++j) gap = std::min(gap, std::fabs(l - exact(j)));
      EXPECT_LT(gap, 1e-7) << l;
    }
    EXPECT_LT(solver.minResidual, 1e-9);
  }
}

TEST_F(LobpcgTest, LimitsStopsAndTinyProblems) {
  const DenseOp T = secondDifference(30);
  Vec lambda{42.0}, theta;
  Block Y;

  // No iteration: the Ritz values of the start block, nothing locked.
  Lobpcg<const DenseOp&, Identity> none(T, Identity{}, 30, 1e-9, 0);
  Block X = lobpcg_blocks::randomBlock(30, 3);
  EXPECT_EQ(none.solve(X, Y, lambda, 1, theta), 0);
  EXPECT_EQ(lambda[0], 42.0);
  ASSERT_EQ(theta.size(), 3u);
  EXPECT_LE(theta[0], theta[1]);

  // A pending stop request ends the call after the set-up.
  state.request = 1;
  Lobpcg<const DenseOp&, Identity> stopped(T, Identity{}, 30, 1e-9, 100);
  X = lobpcg_blocks::randomBlock(30, 3);
  EXPECT_EQ(stopped.solve(X, Y, lambda, 1, theta), 0);
  EXPECT_EQ(lambda[0], 42.0);
  EXPECT_EQ(Y.cols, 0u);
  state.request = 0;

  // Too few iterations to converge: the best Ritz pair is locked at the end.
  Lobpcg<const DenseOp&, Identity> brief(T, Identity{}, 30, 1e-30, 2);
  X = lobpcg_blocks::randomBlock(30, 3);
  EXPECT_EQ(brief.solve(X, Y, lambda, 1, theta), 0);
  ASSERT_EQ(lambda.size(), 1u);
  EXPECT_EQ(lambda[0], *std::min_element(std::begin(theta), std::end(theta)));

  // Blocks that cannot fit their search space (3 k >= n) are solved
  // densely: n = 2 and 3, and a block as wide as the problem.
  for (const Vec& d : {Vec{5.0, -1.0}, Vec{3.0, 1.0, 2.0}}) {
    const DenseOp D = diagonal(d);
    for (std::size_t k : {std::size_t{1}, d.size()}) {
      Lobpcg<const DenseOp&, Identity> small(D, Identity{}, d.size(), 1e-12, 50);
      X = lobpcg_blocks::randomBlock(d.size(), k);
      Vec l;
      EXPECT_EQ(small.solve(X, Y, l, 1, theta), 0);
      ASSERT_EQ(l.size(), 1u);
      EXPECT_NEAR(l[0], d.min(), 1e-14);
      EXPECT_EQ(theta.size(), k);
    }
  }
  // ... but not when no iteration may run.
  const DenseOp D = diagonal(Vec{3.0, 1.0, 2.0});
  lambda = Vec{42.0};
  for (int stop : {0, 1}) {
    state.request = stop;
    Lobpcg<const DenseOp&, Identity> idle(D, Identity{}, 3, 1e-12, stop ? 50 : 0);
    X = lobpcg_blocks::randomBlock(3, 2);
    EXPECT_EQ(idle.solve(X, Y, lambda, 1, theta), 0);
    EXPECT_EQ(lambda.size(), 1u);
    EXPECT_EQ(lambda[0], 42.0);
    EXPECT_EQ(Y.cols, 0u);
    EXPECT_EQ(theta.size(), 2u);
  }
  state.request = 0;
}

TEST_F(LobpcgTest, UnreliableSmallProblemRestartsOnceThenGivesUp) {
  // A wide null space: every search space of 6 columns in R^30 meets it, so
  // the smallest Ritz value is zero to rounding and rc falls below 1e-10 in
  // every iteration.
  Vec d(0.0, 30);
  for (std::size_t i = 25; i < 30; ++i) d[i] = 1.0;
  const DenseOp A = diagonal(d);
  Lobpcg<const DenseOp&, Identity> solver(A, Identity{}, 30, 1e-300, 50);
  Block X = lobpcg_blocks::randomBlock(30, 3), Y;
  Vec lambda{7.0}, theta;
  testing::internal::CaptureStderr();
  const int result = solver.solve(X, Y, lambda, 1, theta);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, 2);
  EXPECT_EQ(lambda.size(), 1u);
  EXPECT_EQ(lambda[0], 7.0);
  EXPECT_EQ(err.find("do restart 0: rc="), 0u) << err;
  EXPECT_NE(err.find("\ndo restart 1: rc="), std::string::npos) << err;
}

TEST_F(LobpcgTest, GramSchmidtAgainstASecondBlock) {
  Block B(3, 1, Vec{1.0, 0.0, 0.0});
  Block A(3, 2, Vec{1.0, 2.0, 1.0, 0.0, 1.0, 1.0});
  Lobpcg<const DenseOp&, Identity>::grams2(A, B);
  const Block G = transposed(A) * A;
  EXPECT_NEAR(G(0, 0), 1.0, 1e-15);
  EXPECT_NEAR(G(1, 1), 1.0, 1e-15);
  EXPECT_NEAR(G(0, 1), 0.0, 1e-15);
  EXPECT_NEAR(A(0, 0), 0.0, 1e-15);
  EXPECT_NEAR(A(0, 1), 0.0, 1e-15);
  // A dependent column is not dropped; it turns non-finite.
  Block D(2, 2, Vec{1.0, 1.0, 0.0, 0.0});
  lobpcg_blocks::grams2(D, nullptr);
  EXPECT_FALSE(std::isfinite(D(0, 1)));
}

TEST_F(LobpcgTest, FinderEstimates) {
  // Defaults: no LOBPCG run; max |H 1| and the option evmin.
  const DenseOp H = diagonal(Vec{1.0, -4.0, 2.0});
  FindMinMaxEigValueLopcg<DenseOp> cheap(H, 3, 1e-3, 27);
  cheap.update();
  EXPECT_EQ(cheap.maxEV, 4.0);
  EXPECT_EQ(cheap.minEV, 0.0);
  EXPECT_EQ(H.products, 1);
  opts.evprecond1 = -1.0;
  FindMinMaxEigValueLopcg<DenseOp> none(H, 3, 1e-3, 27);
  none.update();
  EXPECT_EQ(none.maxEV, 0.0);
  EXPECT_EQ(H.products, 1);

  // Full runs on a spectrum with clustered ends, at several preconditioner
  // levels and block sizes (evn clamps into [1, n]).
  Vec d(30);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = 2.0 + 0.25 * static_cast<double>(i);
  d[0] = 1.0;
  d[1] = 1.001;
  d[28] = 10.0;
  d[29] = 10.001;
  const DenseOp C = diagonal(d);
  opts.fullMinEV = opts.fullMaxEV = 1;
  for (double evn : {0.0, 2.9}) {
    for (double level : {-1.0, 1.0}) {
      opts.evn = evn;
      opts.evprecond1 = opts.evprecond2 = level;
      FindMinMaxEigValueLopcg<DenseOp> full(C, 30, 1e-10, 2000);
      full.update();
      // A run locks the first pair that converges: either end of a cluster.
      EXPECT_NEAR(full.minEV, 1.0005, 5.01e-4) << evn << " " << level;
      EXPECT_NEAR(full.maxEV, 10.0005, 5.01e-4) << evn << " " << level;
    }
  }
  // A maximum run stopped before it locks anything reports nothing; it
  // must not pick up the minimum run's values. The stop request comes with
  // the second all-ones product, made between the two runs.
  struct StopsOnSecondProbe {
    DenseOp inner;
    mutable int probes = 0;
    Block operator()(const Block& V) const {
      if (V.cols == 1 && V.elements.min() == 1.0 && V.elements.max() == 1.0 && ++probes == 2)
        state.request = 1;
      return inner(V);
    }
  };
  opts.evn = 2.0;
  opts.evprecond1 = opts.evprecond2 = 0.0;
  const StopsOnSecondProbe stopper{C};
  FindMinMaxEigValueLopcg<StopsOnSecondProbe> stopped(stopper, 30, 1e-10, 2000);
  stopped.update();
  EXPECT_NEAR(stopped.minEV, 1.0005, 5.01e-4);
  EXPECT_EQ(stopped.maxEV, 0.0);
  EXPECT_EQ(stopped.theta.size(), 2u);
  state.request = 0;

  // A block wider than the problem: the dense path.
  opts.evn = 100.0;
  FindMinMaxEigValueLopcg<DenseOp> wide(H, 3, 1e-10, 50);
  wide.update();
  EXPECT_NEAR(wide.minEV, -4.0, 1e-12);
  EXPECT_NEAR(wide.maxEV, 2.0, 1e-12);
}

}  // namespace
