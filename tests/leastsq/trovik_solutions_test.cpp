// trovik end to end on problems with known answers: every dense direction
// kind and their mix, SD2 (4), SD3 (8), SD4 (16) and all three (28); the
// two product callbacks alone against the same runs with a Jacobian, with
// SD2, SD3, SD4, SD6 (64) and matrix-free SD5 (32); and the trust-region
// direction SD6 on its own cases.

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "leastsq/trovik_fixture.h"

namespace {

using namespace trovik_host;

std::string kindName(const testing::TestParamInfo<double>& info) {
  return "sdirs" + std::to_string(static_cast<int>(info.param));
}

class TrovikKnownAnswersThreaded : public TrovikParamFixture<double> {
 protected:
  Outcome solveWithKind(Host& h, Options options) {
    options.push_back({"sdirs", GetParam()});
    options.push_back({"maxit", 200});
    return solve(h, options);
  }
};

TEST_P(TrovikKnownAnswersThreaded, Minima) {
  // Powell's J is singular at its root; the linear problem's answer is
  // LAPACK's least-squares solution.
  for (const Problem& p : {linearProblem(), rosenbrock(), powellSingular(), bard()}) {
    Host h(p);
    const Outcome out = solveWithKind(h, {});
    EXPECT_LT(miss(p, out.x), p.tolerance) << p.name;
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
                         kindName);

// The matrix-free runs stop once an iteration gains less than 1e-13 of the
// objective.
class MatrixFreeRuns : public TrovikFixture {
 protected:
  Outcome solveWith(Host& h, Callbacks given, double kind, double maxit = 200) {
    return solve(h, {{"sdirs", kind}, {"maxit", maxit}, {"tolEnhRel", 1e-13}}, given);
  }
};
class TrovikMatrixFreeThreaded : public MatrixFreeRuns,
                                 public ::testing::WithParamInterface<double> {};
using TrovikFilteredKrylovThreaded = MatrixFreeRuns;

const std::vector<Problem>& matrixFreeProblems() {
  static const std::vector<Problem> all{linearProblemOf(5), rosenbrock(), powellSingular(), bard()};
  return all;
}

TEST_P(TrovikMatrixFreeThreaded, ProductsAloneReachTheDenseAnswers) {
  for (const Problem& p : matrixFreeProblems()) {
    Host dense(p), free(p);
    const Outcome withJ = solveWith(dense, Callbacks::Jacobian, GetParam());
    const Outcome without = solveWith(free, Callbacks::Products, GetParam());
    for (std::size_t j = 0; j < p.n; ++j)
      EXPECT_NEAR(without.x[j], withJ.x[j], 1e-6) << p.name << " " << j;
    const Record counters = withKey(free, "cJv").at(0);
    EXPECT_EQ(counters.at("cJ"), "0") << p.name;
    EXPECT_GT(std::stol(counters.at("cJv")), 0) << p.name;
    EXPECT_EQ(free.jacobianCalls, 0) << p.name;
    if (p.name == "linear") {
      EXPECT_LT(miss(p, withJ.x), p.tolerance);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikMatrixFreeThreaded, ::testing::Values(4, 8, 16, 64),
                         kindName);

// SD5 exists only on the products: it must reach the answers of the dense
// truncated SVD (SD4). On Powell's singular root its random starts make it
// take from 40 to some 550 iterations.
TEST_F(TrovikFilteredKrylovThreaded, ReachesTheDenseSolutions) {
  for (const Problem& p : matrixFreeProblems()) {
    Host dense(p), sd5(p);
    const Outcome withJ = solveWith(dense, Callbacks::Jacobian, 16);
    const Outcome without = solveWith(sd5, Callbacks::Products, 32, 1000);
    for (std::size_t j = 0; j < p.n; ++j)
      EXPECT_NEAR(without.x[j], withJ.x[j], 1e-6) << p.name << " " << j;
  }
}

double numberAt(const Record& r, const std::string& key) {
  return std::strtod(r.at(key).c_str(), nullptr);
}

using TrovikTrustRegionThreaded = TrovikFixture;

TEST_F(TrovikTrustRegionThreaded, DenseLinearProblemAcceptsTheFirstTry) {
  Host h(linearProblemOf(5));
  solve(h, {{"sdirs", 64}, {"maxit", 0}, {"trace", 4}});
  // A linear model predicts the reduction exactly: rho = 1, Delta * 7.7.
  EXPECT_TRUE(said("Update Delta: rho = 1, D = 1e-07 is very good: 7.7e-07\n")) << err_;
  EXPECT_EQ(err_.find(" result: "), err_.rfind(" result: "));  // one try
  const Record it0 = withKey(h, "tj").at(0);
  EXPECT_DOUBLE_EQ(numberAt(it0, "D"), 7.7e-7);
  EXPECT_NEAR(numberAt(it0, "r"), 1.0, 1e-6);
  EXPECT_EQ(it0.at("o"), "5");
  EXPECT_EQ(it0.at("m"), "SD6");
  for (const char* key : {"lc", "p"}) EXPECT_TRUE(it0.count(key)) << key;
}

TEST_F(TrovikTrustRegionThreaded, DenseMeyerReachesItsMinimum) {
  Host h(meyer());
  const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 200}});
  EXPECT_NEAR(sumOfSquares(out.r), 87.9458, 1e-4);
}

TEST_F(TrovikTrustRegionThreaded, AwkwardProblemsGiveFiniteSteps) {
  // r = x with a Jacobian of the wrong sign: every model step raises ||r||.
  Problem worsening =
      nonlinear("worsening", 2, {1.0, -2.0}, {}, 0.0, 0.0, [](const auto* x, auto* r) {
        r[0] = x[0];
        r[1] = x[1];
      });
  worsening.jacobian = [](const double*, double* J) {
    for (int i = 0; i < 4; ++i) J[i] = i % 3 == 0 ? -1.0 : 0.0;
  };
  // A's columns sum to 0 (centred data): the column sums give D = 0.
  const Problem centred = linear("centred", 3, 2, {1, 2, -1, 0, 0, -2}, {1.0, 0.5, -2.0}, {0, 0});
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    const std::string variant = given == Callbacks::Jacobian ? "dense" : "matrix-free";
    {  // the zero direction and bit 0x400
      Host h(worsening);
      const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 2}, {"checkgradient", -1}}, given);
      EXPECT_EQ(out.x, h.problem.start) << variant;
      for (const Record& r : withKey(h, "tj"))
        EXPECT_EQ(std::stoi(r.at("st")) & 0x500, 0x500) << variant << " " << r.at("st");
    }
    {  // D floored to 1
      Host h(centred);
      const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 30}}, given);
      EXPECT_LT(sumOfSquares(out.r), sumOfSquares(residualsAt(h.problem, h.problem.start)))
          << variant;
    }
    {  // SD1 gives nothing; the fallback reaches SD6 late, with D still unset
      Host h(rosenbrock());
      const Outcome out = solve(h, {{"sdirs", 2}, {"enableFallback", 1}, {"maxit", 100}}, given);
      EXPECT_EQ(withKey(h, "tj").at(0).at("m"), "SD6") << variant;
      EXPECT_LT(miss(h.problem, out.x), 1e-6) << variant;
    }
  }
}

TEST_F(TrovikTrustRegionThreaded, MatrixFreeKindsOnDegenerateProblems) {
  // Residuals that do not depend on x: J = 0.
  const Problem constant =
      nonlinear("J = 0", 3, {0.5, -1.0}, {}, 0.0, 0.0, [](const auto*, auto* r) {
        r[0] = r[1] = r[2] = 1.0;
      });
  for (const double kind : {4.0, 8.0, 16.0, 32.0, 64.0}) {
    {  // started at the root: nothing to do, and nothing divides by ||r|| = 0
      Host h(zeroResidualAtStart());
      const Outcome out = solve(h, {{"sdirs", kind}}, Callbacks::Products);
      EXPECT_EQ(out.status, 0) << kind;
      EXPECT_EQ(out.x, h.problem.start) << kind;
    }
    {  // no kind finds a direction, and none traps
      Host h(constant);
      const Outcome out = solve(h, {{"sdirs", kind}, {"maxit", 2}}, Callbacks::Products);
      EXPECT_EQ(out.x, h.problem.start) << kind;
    }
  }
}

}  // namespace
