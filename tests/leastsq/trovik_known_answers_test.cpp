// trovik end to end on problems with known answers, for each dense
// direction kind and their mix: SD2 (4), SD3 (8), SD4 (16) and all three
// (28). Every run has the traps on, the monitor (threads, hence
// "Threaded") on an ephemeral port and a fresh working directory, and must
// leave the caller's r equal to r(x) and the host's trap mask as it was.

#include <fenv.h>
#include <lapacke.h>
#include <stdlib.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "leastsq/trovik_host.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

namespace {

using namespace trovik_host;

const double kKinds[] = {4, 8, 16, 28};

// A run under traps that must hand back r(x) and the trap mask.
Outcome solveUnderTraps(Host& h, const Options& options) {
  FpTrapGuard traps;
  const int before = fegetexcept();
  Outcome out = run(h, options);
  EXPECT_EQ(fegetexcept(), before);
  const Values r = residualsAt(h.problem, out.x);
  for (std::size_t i = 0; i < r.size(); ++i) EXPECT_DOUBLE_EQ(out.r[i], r[i]) << i;
  return out;
}

class TrovikKnownAnswersThreaded : public ::testing::TestWithParam<double> {
 protected:
  void SetUp() override {
    setenv("HTTP_PORT", "0", 1);
    ASSERT_FALSE(dir_.path().empty());
  }

  Outcome solve(Host& h, Options options) {
    options.push_back({"sdirs", GetParam()});
    return solveUnderTraps(h, options);
  }

  ScratchDir dir_;
};

TEST_P(TrovikKnownAnswersThreaded, LinearResidualsGiveTheLeastSquaresSolution) {
  Host h{linearProblem()};
  const Outcome out = solve(h, {{"maxit", 200}});
  // The reference: LAPACK's SVD least squares on the same A and b.
  std::vector<double> A(30 * 4), b(30);
  h.problem.jacobian(nullptr, A.data());
  const Values r0 = residualsAt(h.problem, {0, 0, 0, 0});
  for (int i = 0; i < 30; ++i) b[i] = -r0[i];
  std::vector<double> s(4);
  lapack_int rank = 0;
  ASSERT_EQ(
      LAPACKE_dgelsd(LAPACK_ROW_MAJOR, 30, 4, 1, A.data(), 4, b.data(), 1, s.data(), -1.0, &rank),
      0);
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(out.x[j], b[j], 1e-8) << j;
}

TEST_P(TrovikKnownAnswersThreaded, RootsOfSystems) {
  struct Case {
    Problem problem;
    Values root;
    double tol;
  };
  const Case cases[] = {
      {rosenbrock(), {1.0, 1.0}, 1e-7},
      {powellSingular(), {0.0, 0.0, 0.0, 0.0}, 1e-6},  // J is singular at the root
  };
  for (const Case& c : cases) {
    Host h(c.problem);
    const Outcome out = solve(h, {{"maxit", 200}});
    for (std::size_t j = 0; j < c.root.size(); ++j)
      EXPECT_NEAR(out.x[j], c.root[j], c.tol) << c.problem.name << " " << j;
  }
}

TEST_P(TrovikKnownAnswersThreaded, LeastSumsOfSquares) {
  Host h(bard());
  const Outcome out = solve(h, {{"maxit", 200}});
  EXPECT_NEAR(sumOfSquares(residualsAt(h.problem, out.x)), 8.21487e-3, 1e-8);
}

// Freudenstein and Roth's valley x2 = -0.8968 has a singular Jacobian. The
// truncated SVD (SD4, also in the mix) drops the singular direction and
// reaches the local minimum or the root; the Gauss-Newton directions (SD2,
// and SD3 with its shift of 1e-9 s_0) point along the valley there, where
// the objective only grows, and stall in it: they must still lower the
// objective and end cleanly.
TEST_P(TrovikKnownAnswersThreaded, FreudensteinRoth) {
  Host h(freudensteinRoth());
  const Outcome out = solve(h, {{"maxit", 200}});
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
    const Outcome out = solve(h, {});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.x, h.problem.start);
  }
  {  // more variables than residuals (SD2 gives no direction then)
    Host h(wide());
    const Outcome out = solve(h, {{"maxit", 50}});
    EXPECT_LE(sumOfSquares(out.r), sumOfSquares(residualsAt(h.problem, h.problem.start)));
  }
  {  // a NaN tolerance never holds
    Host h(rosenbrock());
    const Outcome out = solve(h, {{"maxit", 200}, {"tolGradAbs", std::nan("")}});
    EXPECT_NEAR(out.x[0], 1.0, 1e-7);
  }
}

// A zero Jacobian column: SD3's shift keeps the step finite, and the
// other variables reach the root.
TEST(TrovikZeroColumnThreaded, ShiftedSvdSolvesTheOtherVariables) {
  setenv("HTTP_PORT", "0", 1);
  ScratchDir dir;
  Host h(ignoredVariable());
  const Outcome out = solveUnderTraps(h, {{"maxit", 200}, {"sdirs", 8}});
  EXPECT_NEAR(out.x[0], 1.0, 1e-7);
  EXPECT_NEAR(out.x[1], 2.0, 1e-7);
  EXPECT_TRUE(std::isfinite(out.x[2]));
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikKnownAnswersThreaded, ::testing::ValuesIn(kKinds),
                         [](const auto& info) {
                           return "sdirs" + std::to_string(static_cast<int>(info.param));
                         });

}  // namespace
