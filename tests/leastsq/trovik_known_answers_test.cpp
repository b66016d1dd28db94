// trovik end to end on problems with known answers, for each dense
// direction kind and their mix: SD2 (4), SD3 (8), SD4 (16) and all three
// (28), at most 200 iterations.

#include <lapacke.h>

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "leastsq/trovik_fixture.h"

namespace {

using namespace trovik_host;

class TrovikKnownAnswersThreaded : public TrovikParamFixture<double> {
 protected:
  Outcome solveWithKind(Host& h, Options options) {
    options.push_back({"sdirs", GetParam()});
    options.push_back({"maxit", 200});
    return solve(h, options);
  }
};

TEST_P(TrovikKnownAnswersThreaded, LinearResidualsGiveTheLeastSquaresSolution) {
  Host h(linearProblem());
  const Outcome out = solveWithKind(h, {});
  Values A(30 * 4), b = residualsAt(h.problem, Values(4, 0.0)), s(4);
  h.problem.jacobian(nullptr, A.data());
  for (double& v : b) v = -v;
  lapack_int rank = 0;
  ASSERT_EQ(
      LAPACKE_dgelsd(LAPACK_ROW_MAJOR, 30, 4, 1, A.data(), 4, b.data(), 1, s.data(), -1.0, &rank),
      0);
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(out.x[j], b[j], 1e-8) << j;
}

TEST_P(TrovikKnownAnswersThreaded, Minima) {
  struct Case {
    Problem problem;
    Values root;  // empty: judged by the least sum of squares
    double value;
    double tol;
  };
  const Case cases[] = {
      {rosenbrock(), {1.0, 1.0}, 0.0, 1e-7},
      {powellSingular(), {0.0, 0.0, 0.0, 0.0}, 0.0, 1e-6},  // J is singular at the root
      {bard(), {}, 8.21487e-3, 1e-8},
  };
  for (const Case& c : cases) {
    Host h(c.problem);
    const Outcome out = solveWithKind(h, {});
    for (std::size_t j = 0; j < c.root.size(); ++j)
      EXPECT_NEAR(out.x[j], c.root[j], c.tol) << c.problem.name << " " << j;
    if (c.root.empty()) {
      EXPECT_NEAR(sumOfSquares(out.r), c.value, c.tol) << c.problem.name;
    }
  }
}

// Freudenstein and Roth's valley x2 = -0.8968 has a singular Jacobian. The
// truncated SVD (SD4, also in the mix) drops the singular direction and
// reaches the local minimum or the root; the Gauss-Newton directions (SD2,
// and SD3 with its shift of 1e-9 s_0) point along the valley there, where
// the objective only grows, and stall in it: they must still lower the
// objective and end cleanly.
TEST_P(TrovikKnownAnswersThreaded, FreudensteinRoth) {
  Host h(freudensteinRoth());
  const Outcome out = solveWithKind(h, {});
  const double ss = sumOfSquares(out.r);
  if (GetParam() == 4 || GetParam() == 8) {
    EXPECT_LT(ss, 0.2 * sumOfSquares(residualsAt(h.problem, h.problem.start)));
    EXPECT_NEAR(out.x[1], -0.8968, 1e-4);
    return;
  }
  const bool root = std::fabs(out.x[0] - 5.0) < 1e-6 && std::fabs(out.x[1] - 4.0) < 1e-6;
  EXPECT_TRUE(root || std::fabs(ss - 48.9842) < 1e-4) << out.x[0] << " " << out.x[1] << " " << ss;
}

TEST_P(TrovikKnownAnswersThreaded, EdgeProblems) {
  {  // started at its root: the first iteration has nothing to improve
    Host h(zeroResidualAtStart());
    const Outcome out = solveWithKind(h, {});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.x, h.problem.start);
  }
  {  // more variables than residuals (SD2 gives no direction then)
    Host h(wide());
    const Outcome out = solveWithKind(h, {});
    EXPECT_LE(sumOfSquares(out.r), sumOfSquares(residualsAt(h.problem, h.problem.start)));
  }
  {  // a NaN tolerance never holds
    Host h(rosenbrock());
    const Outcome out = solveWithKind(h, {{"tolGradAbs", std::nan("")}});
    EXPECT_NEAR(out.x[0], 1.0, 1e-7);
  }
  if (GetParam() == 8) {  // a zero Jacobian column: SD3's shift keeps the step finite
    Host h(ignoredVariable());
    const Outcome out = solveWithKind(h, {});
    EXPECT_NEAR(out.x[0], 1.0, 1e-7);
    EXPECT_NEAR(out.x[1], 2.0, 1e-7);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikKnownAnswersThreaded, ::testing::Values(4, 8, 16, 28),
                         [](const auto& info) {
                           return "sdirs" + std::to_string(static_cast<int>(info.param));
                         });

}  // namespace
