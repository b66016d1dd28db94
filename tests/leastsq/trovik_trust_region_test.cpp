// The Levenberg-Marquardt trust-region direction (SD6) end to end, dense
// and matrix-free, and the matrix-free kinds on degenerate problems.

#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "leastsq/trovik_fixture.h"

namespace {

using namespace trovik_host;

double numberAt(const Record& r, const std::string& key) {
  return std::strtod(r.at(key).c_str(), nullptr);
}

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++count;
  return count;
}

// r = A x - b with A's columns summing to 0 (centred data).
Problem centredColumns() {
  Problem p{"centred", 2, 3, nullptr, nullptr, {0.0, 0.0}};
  static const double A[6] = {1, 2, -1, 0, 0, -2};
  static const double b[3] = {1.0, 0.5, -2.0};
  p.residual = [](const double* x, double* r) {
    for (int i = 0; i < 3; ++i) r[i] = A[2 * i] * x[0] + A[2 * i + 1] * x[1] - b[i];
  };
  p.jacobian = [](const double*, double* J) {
    for (int i = 0; i < 6; ++i) J[i] = A[i];
  };
  return p;
}

// r = x, with a Jacobian of the wrong sign: every model step raises ||r||.
Problem worseningResidual() {
  Problem p{"worsening", 2, 2, nullptr, nullptr, {1.0, -2.0}};
  p.residual = [](const double* x, double* r) {
    r[0] = x[0];
    r[1] = x[1];
  };
  p.jacobian = [](const double*, double* J) {
    J[0] = -1.0;
    J[1] = 0.0;
    J[2] = 0.0;
    J[3] = -1.0;
  };
  return p;
}

// Residuals that do not depend on x: J = 0.
Problem constantResidual() {
  Problem p{"J = 0", 2, 3, nullptr, nullptr, {0.5, -1.0}};
  p.residual = [](const double*, double* r) {
    r[0] = 1.0;
    r[1] = 2.0;
    r[2] = 3.0;
  };
  p.jacobian = [](const double*, double* J) {
    for (int i = 0; i < 6; ++i) J[i] = 0.0;
  };
  return p;
}

using TrovikTrustRegionThreaded = TrovikFixture;

TEST_F(TrovikTrustRegionThreaded, DenseLinearProblemAcceptsTheFirstTry) {
  Host h(linearProblemOf(5));
  solve(h, {{"sdirs", 64}, {"maxit", 0}, {"trace", 4}});
  // A linear model predicts the reduction exactly: rho = 1, Delta * 7.7.
  EXPECT_TRUE(said("Update Delta: rho = 1, D = 1e-07 is very good: 7.7e-07\n")) << err_;
  EXPECT_EQ(countOf(err_, " result: "), 1u);
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
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    const std::string variant = given == Callbacks::Jacobian ? "dense" : "matrix-free";
    {  // every trial raises the objective: the zero direction and bit 0x400
      Host h(worseningResidual());
      const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 2}, {"checkgradient", -1}}, given);
      EXPECT_EQ(out.x, h.problem.start) << variant;
      for (const Record& r : withKey(h, "tj"))
        EXPECT_EQ(std::stoi(r.at("st")) & 0x500, 0x500) << variant << " " << r.at("st");
    }
    {  // centred columns: the column sums give D = 0, floored to 1
      Host h(centredColumns());
      const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 30}}, given);
      EXPECT_LT(sumOfSquares(out.r), sumOfSquares(residualsAt(h.problem, h.problem.start)))
          << variant;
    }
    {  // SD1 gives nothing; the fallback reaches SD6 late, with D still unset
      Host h(rosenbrock());
      const Outcome out = solve(h, {{"sdirs", 2}, {"enableFallback", 1}, {"maxit", 100}}, given);
      EXPECT_EQ(withKey(h, "tj").at(0).at("m"), "SD6") << variant;
      EXPECT_NEAR(out.x[0], 1.0, 1e-6) << variant;
      EXPECT_NEAR(out.x[1], 1.0, 1e-6) << variant;
    }
  }
}

TEST_F(TrovikTrustRegionThreaded, MatrixFreeKindsOnDegenerateProblems) {
  for (const double kind : {4.0, 8.0, 16.0, 32.0, 64.0}) {
    {  // started at the root: nothing to do, and nothing divides by ||r|| = 0
      Host h(zeroResidualAtStart());
      const Outcome out = solve(h, {{"sdirs", kind}}, Callbacks::Products);
      EXPECT_EQ(out.status, 0) << kind;
      EXPECT_EQ(out.x, h.problem.start) << kind;
    }
    {  // J = 0: no kind finds a direction, and none traps
      Host h(constantResidual());
      const Outcome out = solve(h, {{"sdirs", kind}, {"maxit", 2}}, Callbacks::Products);
      EXPECT_EQ(out.x, h.problem.start) << kind;
    }
  }
}

}  // namespace
