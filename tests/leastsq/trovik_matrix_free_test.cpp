// trovik with the two product callbacks alone against the same runs with a
// Jacobian, per direction kind: SD2 (4), SD3 (8), SD4 (16) and SD6 (64),
// and matrix-free SD5 (32), on problems with known answers.

#include <lapacke.h>

#include <cmath>
#include <string>

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

class TrovikMatrixFreeThreaded : public TrovikParamFixture<double> {
 protected:
  Outcome solveWith(const Problem& p, Callbacks given, Host** kept = nullptr) {
    hosts_.emplace_back(std::make_unique<Host>(p));
    Host& h = *hosts_.back();
    if (kept) *kept = &h;
    return solve(h, {{"sdirs", GetParam()}, {"maxit", 200}}, given);
  }
  std::vector<std::unique_ptr<Host>> hosts_;
};

TEST_P(TrovikMatrixFreeThreaded, ProductsAloneReachTheDenseAnswers) {
  const Problem problems[] = {linearProblemOf(5), rosenbrock(), powellSingular(), bard()};
  for (const Problem& p : problems) {
    Host* dense = nullptr;
    Host* free = nullptr;
    const Outcome withJ = solveWith(p, Callbacks::Jacobian, &dense);
    const Outcome without = solveWith(p, Callbacks::Products, &free);
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

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikMatrixFreeThreaded, ::testing::Values(4, 8, 16, 64),
                         [](const auto& info) {
                           return "sdirs" + std::to_string(static_cast<int>(info.param));
                         });

}  // namespace
