// The dense Levenberg-Marquardt step and the floor of its scaling diagonal.

#include "steps/lm_alg.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "dense/vector_kernels.h"
#include "step_test_util.h"
#include "steps/scaling_floor.h"
#include "steps/step_status.h"

namespace {

using namespace step_test;

TEST(LMAlg, StepsDerivativeAndDampingOnAPivotedQR) {
  // 8 x 4 with columns scaled by 1, 1e3, 1e-2 and 10, so that the QR pivots.
  LSProblem P(randomMatrix(8, 4, 81) *= decomp_test::diagonal({1, 1e3, 1e-2, 10}),
            randomVector(8, 82));
  const Vec& D = P.scaling.D.diagonal;
  StderrCapture quiet;
  LMAlg lm(P.scaling, P.J, P.minusR);
  EXPECT_EQ(lm.rank, 4u);
  auto step = [&lm](double alpha) {
    Vec p;
    lm.palpha(alpha, p, true);
    return p;
  };
  for (double alpha : {0.0, 1e-3, 1.0, 100.0})
    EXPECT_LT(relDiff(step(alpha), dampedStep(P.J, P.minusR, D, alpha)), 1e-10) << alpha;
  for (double alpha : {1e-3, 1.0, 100.0}) {
    const double h = 1e-5 * alpha;
    const double fd = (normfro(D * step(alpha + h)) - normfro(D * step(alpha - h))) / (2.0 * h);
    EXPECT_NEAR(lm.d_phi(alpha), fd, 1e-6 * std::fabs(fd)) << alpha;
  }
  EXPECT_LT(lm.unitaryError(), 1e-14);

  // The damping iteration meets each trust radius on the same object.
  const double base = 0.3 * normfro(D * step(0.0));
  for (double Delta : {base, base / 4.0, 4.0 * base}) {
    P.scaling.Delta = Delta;
    const double alpha = lm.solveLambda(lm.step);
    EXPECT_GE(alpha, 0.0);
    EXPECT_LT(std::fabs(normfro(D * lm.step) - Delta), 0.5 * Delta) << Delta;
    EXPECT_LT(relDiff(lm.step, dampedStep(P.J, P.minusR, D, alpha)), 1e-9) << Delta;
  }
}

TEST(LMAlg, GaussNewtonZeroGradientAndNonFiniteInput) {
  struct Case {
    const char* name;
    Matrix J;
    Vec minusR, D;
    double Delta;
    Vec p;               // alpha is 0 in every case
    std::uint32_t rank;  // an empty count is stored as min(3, n)
    std::int32_t status = 0;
  } const cases[] = {
      // The Newton update would drive alpha below 0 here.
      {"J = 1, r = -1, Delta = 1.5", Matrix(1, 1, Vec{1}), Vec{1}, Vec{1}, 1.5, Vec{1}, 1},
      {"zero gradient", Matrix(2, 2, Vec{1, 0, 0, 0}), Vec{0, 3}, Vec{1, 1}, 1.0, Vec{0, 0}, 1},
      {"zero J and zero D", Matrix(3, 2), Vec{1, 2, 3}, Vec{0, 0}, 1.0, Vec{0, 0}, 2},
      {"collapsed region", Matrix(1, 1, Vec{1}), Vec{1}, Vec{1}, 0.0, Vec{0}, 1},
      {"infinite J", Matrix(2, 2, Vec{1, kInf, 0.5, 2}), Vec{1, 1}, Vec{1, 1}, 1.0, Vec{0, 0}, 2,
       StepStatus::NonFinite},
  };
  for (const Case& c : cases) {
    ScalingRecord scaling{DiagMatrixTemplate<double>(c.D), c.Delta};
    StderrCapture quiet;
    LMAlg lm(scaling, c.J, c.minusR);
    EXPECT_EQ(lm.solveLambda(lm.step), 0.0) << c.name;
    EXPECT_LT(maxAbsDiff(lm.step, c.p), 1e-15) << c.name;
    EXPECT_EQ(lm.status, c.status) << c.name;
    EXPECT_EQ(lm.rank, c.rank) << c.name;
    // The Gauss-Newton step of a singular R stays finite.
    Vec p0;
    lm.palpha(0.0, p0, true);
    EXPECT_TRUE(allFinite(p0)) << c.name;
  }
}

// Jacobians at the edges of the double range, solved under the drivers'
// traps: the step is finite, and a step that cannot be computed is 0 with
// NonFinite (a failed damped factorisation used to leave the pivots
// unwritten and the step was scattered through them out of bounds).
TEST(LMAlg, JacobiansAtTheEdgesOfTheDoublesGiveFiniteSteps) {
  const double tiny = 4.9e-324;
  struct Case {
    const char* name;
    Matrix J;
    Vec minusR, D;
    double Delta;
  } const cases[] = {
      {"sqrt(alpha) D overflows", Matrix(2, 2, Vec{1e308, 1, 1, 1}), Vec{1, 1}, Vec{1e308, 1},
       1e-3},
      {"every entry overflows the damped matrix", Matrix(3, 2, Vec{1e308, 1e296, 1e296, 1e308, 1, 1}),
       Vec{1, 2, 3}, Vec{1e308, 1e308}, 1e-3},
      {"subnormal J, floored D", Matrix(3, 2, Vec{tiny, tiny, tiny, tiny, tiny, tiny}),
       Vec{1, 1, 1}, Vec{DBL_MIN, DBL_MIN}, 1.0},
      {"subnormal J, tiny region", Matrix(3, 2, Vec{tiny, tiny, tiny, tiny, tiny, tiny}),
       Vec{1, 1, 1}, Vec{DBL_MIN, DBL_MIN}, 1e-300},
  };
  for (const Case& c : cases) {
    ScalingRecord scaling{DiagMatrixTemplate<double>(c.D), c.Delta};
    StderrCapture quiet;
    LMAlg lm(scaling, c.J, c.minusR);
    const double alpha = lm.solveLambda(lm.step);
    EXPECT_TRUE(std::isfinite(alpha) && alpha >= 0.0) << c.name << ": " << alpha;
    ASSERT_EQ(lm.step.size(), 2u) << c.name;
    EXPECT_TRUE(allFinite(lm.step)) << c.name;
    if (lm.status == StepStatus::NonFinite) {
      EXPECT_EQ(maxAbsDiff(lm.step, Vec{0, 0}), 0.0) << c.name;
    }
  }
}

TEST(LMAlg, RankDeficientAndWideJacobians) {
  Matrix dup = randomMatrix(8, 4, 91);
  for (std::size_t i = 0; i < 8; ++i) dup(i, 3) = dup(i, 1);
  const Matrix wide = randomMatrix(2, 3, 92);
  for (const Matrix* J : {static_cast<const Matrix*>(&dup), &wide}) {
    LSProblem P(*J, randomVector(J->rows, 93));
    StderrCapture quiet;
    LMAlg lm(P.scaling, P.J, P.minusR);
    EXPECT_EQ(lm.rank, J == &dup ? 3u : 2u);
    Vec p;
    lm.palpha(0.0, p, true);
    const double best = normfro(times(P.J, gels(P.J, P.minusR, true)) - P.minusR);
    EXPECT_NEAR(normfro(times(P.J, p) - P.minusR), best, 1e-12 * (1.0 + best));
    // The trust-region step of the rank-deficient problem.
    P.scaling.Delta = 0.1 * normfro(P.scaling.D.diagonal * p);
    const double alpha = lm.solveLambda(lm.step);
    EXPECT_GT(alpha, 0.0);
    EXPECT_LT(std::fabs(normfro(P.scaling.D.diagonal * lm.step) - P.scaling.Delta),
              0.5 * P.scaling.Delta);
  }
}

TEST(ScalingFloor, RaisesSmallEntriesOrResetsAMeaninglessScale) {
  const std::pair<Vec, Vec> cases[] = {
      {Vec{2.0, 0.0, 1e-20, 5.0}, Vec{2.0, 5e-12, 5e-12, 5.0}},
      {Vec{1.0, -3.0}, Vec{1.0, 1e-12}},
      {Vec{0.0, 0.0}, Vec{1.0, 1.0}},
      {Vec{-1.0, -2.0}, Vec{1.0, 1.0}},
      {Vec{3.0, kNaN}, Vec{1.0, 1.0}},
      {Vec{kInf, 2.0}, Vec{1.0, 1.0}},
      {Vec{1e-300, 0.0}, Vec{1e-300, DBL_MIN}},
  };
  for (auto [D, want] : cases) {
    floorScalingDiagonal(D);
    for (std::size_t i = 0; i < D.size(); ++i) EXPECT_EQ(D[i], want[i]) << i;
  }
}

}  // namespace
