// The minimisation driver on problems with known answers, through the
// exported entry point, with the default options and the floating-point
// traps on (the host's as well as the driver's).

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fp_traps.h"
#include "support/known_problems.h"
#include "support/scratch_dir.h"

namespace {

using namespace known_problems;

const Callbacks kGradient{true, false, false};
const Callbacks kHessian{true, true, false};
const Callbacks kProducts{true, false, true};
const Callbacks kObjectiveOnly{false, false, false};

struct KnownAnswer {
  const char* what;
  const Problem& problem;
  Callbacks callbacks;
  Options options;
  double tolerance;           // on max |x_i - x*_i|; on f without a solution
  long maxIterations = 1000;  // iteration records
};

class ZelkKnownAnswers : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  ScratchDir dir_;
  FpTrapGuard traps_;
};

TEST_F(ZelkKnownAnswers, ProblemsConvergeWithEachKind) {
  const std::vector<KnownAnswer> cases = {
      {"spd SD2, Hessian", spd5(), kHessian, {{"sdirs", 4}}, 1e-8, 3},
      {"spd SD3, Hessian", spd5(), kHessian, {{"sdirs", 8}}, 1e-8, 3},
      {"spd SD4, Hessian", spd5(), kHessian, {{"sdirs", 16}}, 1e-8, 3},
      {"spd SD2, products", spd5(), kProducts, {{"sdirs", 4}}, 1e-8},
      {"spd SD3, products", spd5(), kProducts, {{"sdirs", 8}}, 1e-8},
      {"spd SD0", spd5(), kGradient, {{"sdirs", 1}}, 1e-6},
      {"spd SD1", spd5(), kGradient, {{"sdirs", 2}}, 1e-6},
      {"rosenbrock, gradient", rosenbrock(), kGradient, {}, 1e-5},
      {"rosenbrock, Hessian", rosenbrock(), kHessian, {}, 1e-5},
      {"rosenbrock, products", rosenbrock(), kProducts, {}, 1e-5},
      {"powell, gradient", powell(), kGradient, {}, 1e-10, 5000},
      {"powell, products", powell(), kProducts, {}, 1e-10},
      {"powell, Hessian", powell(), kHessian, {}, 1e-10},
      {"diag, products", diagonal(), kProducts, {}, 1e-5},
      {"x - log x", logarithm(), kGradient, {}, 1e-6},
      {"x - log x, Hessian", logarithm(), kHessian, {}, 1e-6},
      {"objective only", spd5(), kObjectiveOnly, {}, 1e-5},
  };
  for (const KnownAnswer& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const Outcome out = minimise(c.problem, c.callbacks, c.options);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.status, 0) << out.code;
    if (c.problem.solution.empty()) {
      EXPECT_LT(out.f, c.tolerance);
    } else {
      EXPECT_LT(distance(out.x, c.problem.solution), c.tolerance);
    }
    EXPECT_LE(out.host.iterations, c.maxIterations);
  }
}

TEST_F(ZelkKnownAnswers, StartAtTheMinimiserEndsAtOnce) {
  Problem atMinimum = diagonal();
  atMinimum.start = {0.0, 0.0};
  for (Callbacks cb : {kGradient, kHessian, kProducts, kObjectiveOnly}) {
    testing::internal::CaptureStderr();
    const Outcome out = minimise(atMinimum, cb);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.code, "25");
    EXPECT_EQ(out.host.iterations, 1);
    EXPECT_EQ(out.x, atMinimum.start);
  }
}

TEST_F(ZelkKnownAnswers, FallbackTriesTheMissingKindsFromTheEnd) {
  // [SD3] without Hessian or products: SD4 and SD2 are skipped.
  Problem atMinimum = diagonal();
  atMinimum.start = {0.0, 0.0};
  testing::internal::CaptureStderr();
  const Outcome out =
      minimise(atMinimum, kGradient, {{"sdirs", 8}, {"enableFallback", 1}, {"trace", 2}});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.code, "25");
  std::size_t at = 0;
  for (const char* line : {"search dir 64 because the 1 previous tries did not succeed\n",
                           "Search dir SD6 not implemented\n",
                           "search dir 32 because the 2 previous tries did not succeed\n",
                           "search dir 2 because the 3 previous tries did not succeed\n",
                           "search dir 1 because the 4 previous tries did not succeed\n"}) {
    const std::size_t next = err.find(line, at);
    ASSERT_NE(next, std::string::npos) << line << " in\n" << err;
    at = next;
  }
  EXPECT_EQ(err.find("search dir 16"), std::string::npos);
  EXPECT_EQ(err.find("search dir 4 "), std::string::npos);
}

// Calls from two threads take turns on the driver; each gets its own
// answer.
TEST(ZelkKnownAnswersThreaded, TwoProblemsAtOnce) {
  ScratchDir dir;
  bool rosenbrockOk = true, spdOk = true;
  auto solve = [](const Problem& p, Callbacks cb, bool& ok) {
    FpTrapGuard traps;
    for (int round = 0; round < 3; ++round) {
      const Outcome out = minimise(p, cb, {{"saveLast", 0}});
      ok = ok && out.status == 0 && distance(out.x, p.solution) < 1e-5;
    }
  };
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  std::thread a(solve, std::cref(rosenbrock()), kGradient, std::ref(rosenbrockOk));
  std::thread b(solve, std::cref(spd5()), kHessian, std::ref(spdOk));
  a.join();
  b.join();
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(rosenbrockOk);
  EXPECT_TRUE(spdOk);
}

}  // namespace
