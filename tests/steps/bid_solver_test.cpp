// Golub-Kahan bidiagonalisation and its least-squares solves.

#include "steps/bid_solver.h"

#include <gtest/gtest.h>

#include "step_test_util.h"
#include "steps/step_limits.h"

namespace {

using namespace step_test;

std::int32_t bidSolve(Closures& A, BIDSolInfo& info, const Vec& b, Vec& x) {
  StderrCapture quiet;
  return BIDSolver(info, A.Jv, A.JTw).solve(b, x);
}

// x against the oracle's solution. A rank-deficient A is solved to the
// optimal residual, but the minimum norm only to the rounding that the
// start lets through: after ten power steps it is close to a singular
// vector, so the first betas are small and rounding components in the null
// space of A are amplified by alpha / beta from step to step (they never
// change A x). Typically that leaves 1e-8 of the solution's size; the
// random start makes the amplification heavy-tailed (1e-4 seen once in
// thousands of runs), so the bound only separates rounding from a real
// null-space component, which would be of the solution's own size.
void expectSolution(const Matrix& A, const Vec& b, const Vec& x, const Vec& want,
                    bool rankDeficient, const char* name) {
  const double scale = 1.0 + Vec(std::abs(want)).max();
  EXPECT_LT(maxAbsDiff(x, want), (rankDeficient ? 1e-2 : 1e-10) * scale) << name;
  const double best = normfro(times(A, want) - b);
  EXPECT_NEAR(normfro(times(A, x) - b), best, 1e-12 * (1.0 + best)) << name;
}

BIDSolInfo record(const Matrix& A) {
  return BIDSolInfo(A.rows, A.cols, 1e-15, bidStepLimit(A.rows, A.cols, 14));
}

// The solutions, and the recursion A v_i = alpha_i u_i + beta_i u_(i-1)
// with orthonormal rows of U and V (across capacity doublings for 60 x 20).
TEST(BIDSolver, LeastSquaresSolutionsAndBases) {
  struct Case {
    const char* name;
    Matrix A;
    bool minimumNorm;  // compare with dgelsd rather than dgels
    std::uint32_t steps;
  } const cases[] = {
      {"30 x 8, full steps", randomMatrix(30, 8, 51), false, 8},
      {"rank 3 of 8", lowRankMatrix(20, 8, 3, 52), true, 3},
      {"A = 2 I (beta = 0 at every step)", decomp_test::diagonal({2, 2, 2, 2, 2, 2, 2}), false, 7},
      {"60 x 20", randomMatrix(60, 20, 61), false, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Closures A(c.A);
    BIDSolInfo info = record(A.J);
    const Vec b = randomVector(A.J.rows, 53);
    Vec x;
    EXPECT_EQ(bidSolve(A, info, b, x), 0) << c.name;
    EXPECT_EQ(info.steps, c.steps) << c.name;
    expectSolution(A.J, b, x, gels(A.J, b, c.minimumNorm), c.minimumNorm, c.name);
    EXPECT_LT(info.normalResidual, 1e-9) << c.name;
    // 20 power-iteration products, 2 per step, 3 for the residual measures.
    EXPECT_LE(A.products(), 20 + 2 * static_cast<int>(info.steps + 1) + 3) << c.name;
    ASSERT_EQ(info.U.rows, c.steps);
    ASSERT_EQ(info.V.rows, c.steps);
    EXPECT_EQ(info.lastAlpha, info.alpha[c.steps - 1]);
    for (std::size_t i = 0; i < c.steps; ++i) {
      Vec res = times(A.J, row(info.V, i)) - info.alpha[i] * row(info.U, i);
      if (i > 0) res -= info.beta[i] * row(info.U, i - 1);
      EXPECT_LT(normfro(res), 1e-12) << i;
      for (std::size_t j = 0; j <= i; ++j) {
        EXPECT_NEAR(rowDot(info.U, i, row(info.U, j)), i == j ? 1.0 : 0.0, 1e-13) << i << " " << j;
        EXPECT_NEAR(rowDot(info.V, i, row(info.V, j)), i == j ? 1.0 : 0.0, 1e-13) << i << " " << j;
      }
    }

    // A second right-hand side is solved from the record without a product.
    const int before = A.products();
    const Vec b2 = randomVector(A.J.rows, 54);
    withoutStderr([&] { EXPECT_EQ(info.solve(b2, x), 0); });
    EXPECT_EQ(A.products(), before);
    expectSolution(A.J, b2, x, gels(A.J, b2, c.minimumNorm), c.minimumNorm, c.name);
  }
}

TEST(BIDSolver, ShortAndFailedDecompositions) {
  const Vec b = randomVector(9, 71);
  struct Case {
    const char* name;
    Matrix A;
    std::uint32_t maxSteps;
    int poison;  // the J v call that answers NaN; 0 none
    std::int32_t status;
    std::uint32_t steps;
  } const cases[] = {
      {"A = 0: A v_0 = 0, x = 0 is exact", Matrix(9, 4), 4, 0, 0, 0},
      {"no step allowed although A != 0", randomMatrix(9, 4, 72), 0, 0, StepStatus::NoStepKept, 0},
      {"one step", randomMatrix(9, 4, 73), 1, 0, 0, 1},
      {"NaN in the power iteration", randomMatrix(9, 4, 74), 4, 1, StepStatus::NonFinite, 0},
      {"NaN in the recursion", randomMatrix(9, 4, 74), 4, 12, StepStatus::NonFinite, 0},
  };
  for (const Case& c : cases) {
    Closures A(c.A);
    A.Jv.poison = c.poison;
    BIDSolInfo info = record(A.J);
    info.maxSteps = c.maxSteps;
    Vec x;
    EXPECT_EQ(bidSolve(A, info, b, x), c.status) << c.name;
    ASSERT_EQ(info.steps, c.steps) << c.name;
    // One step gives x = v_0 (u_0 . b) / alpha_0, no step x = 0.
    const Vec want =
        c.steps ? row(info.V, 0) * (rowDot(info.U, 0, b) / info.alpha[0]) : Vec(0.0, 4);
    EXPECT_LT(maxAbsDiff(x, want), 1e-15) << c.name;
    EXPECT_TRUE(!c.poison || A.Jv.calls == c.poison) << c.name;  // nothing after the failure
  }

  // A transposed product that is not A's transpose (A = B + 1e6 e_0 1^T, the
  // transpose B^T) loses orthogonality at once: |v_1 . v_0| far above
  // 1e-13 at step 1 ends the decomposition "crooked", dropping step 1 and
  // step 0 before it. Nothing is left to solve with: x = 0.
  Matrix B = randomMatrix(9, 4, 75), skewed = B;
  for (std::size_t j = 0; j < 4; ++j) skewed(0, j) += 1e6;
  const DenseProduct op{skewed}, opT{B, true};
  BIDSolInfo info = record(B);
  Vec x;
  testing::internal::CaptureStderr();
  EXPECT_EQ(BIDSolver(info, op, opT).solve(b, x), StepStatus::NoStepKept);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("\ncrooked\n"), std::string::npos) << err;
  EXPECT_EQ(info.steps, 0u);
  EXPECT_EQ(maxAbsDiff(x, Vec(0.0, 4)), 0.0);
}

}  // namespace
