// trovik with the two product callbacks alone against the same runs with a
// Jacobian, per direction kind: SD2 (4), SD3 (8), SD4 (16) and SD6 (64),
// and matrix-free SD5 (32), on problems with known answers.

#include <lapacke.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "leastsq/trovik_fixture.h"

namespace {

using namespace trovik_host;

// The counters record: the one with "cJv".
Record countersOf(const Host& h) {
  const std::vector<Record> all = withKey(h, "cJv");
  return all.empty() ? Record{} : all.back();
}

Values linearSolution(const Problem& p) {
  Values A(p.m * p.n), b = residualsAt(p, Values(p.n, 0.0)), s(p.n);
  p.jacobian(nullptr, A.data());
  for (double& v : b) v = -v;
  lapack_int rank = 0;
  EXPECT_EQ(LAPACKE_dgelsd(LAPACK_ROW_MAJOR, static_cast<int>(p.m), static_cast<int>(p.n), 1,
                           A.data(), static_cast<int>(p.n), b.data(), 1, s.data(), -1.0, &rank),
            0);
  b.resize(p.n);
  return b;
}

// The runs stop once an iteration gains less than 1e-13 of the objective.
class MatrixFreeRuns : public TrovikFixture {
 protected:
  Outcome solveWith(const Problem& p, Callbacks given, double kind, Host** kept = nullptr,
                    double maxit = 200) {
    hosts_.emplace_back(std::make_unique<Host>(p));
    Host& h = *hosts_.back();
    if (kept) *kept = &h;
    return solve(h, {{"sdirs", kind}, {"maxit", maxit}, {"tolEnhRel", 1e-13}}, given);
  }
  std::vector<std::unique_ptr<Host>> hosts_;
};

class TrovikMatrixFreeThreaded : public MatrixFreeRuns,
                                 public ::testing::WithParamInterface<double> {};
using TrovikFilteredKrylovThreaded = MatrixFreeRuns;

const Problem* problems() {
  static const Problem all[] = {linearProblemOf(5), rosenbrock(), powellSingular(), bard()};
  return all;
}

TEST_P(TrovikMatrixFreeThreaded, ProductsAloneReachTheDenseAnswers) {
  for (int k = 0; k < 4; ++k) {
    const Problem& p = problems()[k];
    Host* free = nullptr;
    const Outcome withJ = solveWith(p, Callbacks::Jacobian, GetParam());
    const Outcome without = solveWith(p, Callbacks::Products, GetParam(), &free);
    for (std::size_t j = 0; j < p.n; ++j)
      EXPECT_NEAR(without.x[j], withJ.x[j], 1e-6) << p.name << " " << j;
    const Record counters = countersOf(*free);
    EXPECT_EQ(counters.at("cJ"), "0") << p.name;
    EXPECT_GT(std::stol(counters.at("cJv")), 0) << p.name;
    EXPECT_EQ(free->jacobianCalls, 0) << p.name;
    if (p.name == "linear") {
      const Values x = linearSolution(p);
      for (std::size_t j = 0; j < p.n; ++j) EXPECT_NEAR(withJ.x[j], x[j], 1e-8) << j;
    }
  }
}

// SD5 exists only on the products: it must reach the answers of the dense
// truncated SVD (SD4). On Powell's singular root its random starts make it
// take from 40 to some 550 iterations.
TEST_F(TrovikFilteredKrylovThreaded, ReachesTheDenseSolutions) {
  for (int k = 0; k < 4; ++k) {
    const Problem& p = problems()[k];
    const Outcome dense = solveWith(p, Callbacks::Jacobian, 16);
    const Outcome sd5 = solveWith(p, Callbacks::Products, 32, nullptr, 1000);
    for (std::size_t j = 0; j < p.n; ++j)
      EXPECT_NEAR(sd5.x[j], dense.x[j], 1e-6) << p.name << " " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikMatrixFreeThreaded, ::testing::Values(4, 8, 16, 64),
                         [](const auto& info) {
                           return "sdirs" + std::to_string(static_cast<int>(info.param));
                         });

}  // namespace
