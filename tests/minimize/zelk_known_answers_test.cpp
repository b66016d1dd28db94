// The minimisation driver on problems with known answers, through the
// exported entry point, with the default options and the floating-point
// traps on (the host's as well as the driver's).

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "minimize/zelk_fixtures.h"

namespace {

using namespace zelk_test;

const Callbacks kGradient{}, kHessian{.hessian = true}, kProducts{.product = true},
    kObjectiveOnly{.gradient = false};

using ZelkKnownAnswers = ZelkTest;

TEST_F(ZelkKnownAnswers, ProblemsConvergeWithEachKind) {
  struct Case {
    const char* what;
    const Problem& problem;
    Callbacks callbacks;
    Options options;
    double tolerance;           // on max |x_i - x*_i|; on f without a solution
    long maxIterations = 1000;  // iteration records
  };
  const std::vector<Case> cases = {
      {"spd SD2, Hessian", spd5(), kHessian, {{"sdirs", 4}}, 1e-8, 3},
      {"spd SD3, Hessian", spd5(), kHessian, {{"sdirs", 8}}, 1e-8, 3},
      {"spd SD4, Hessian", spd5(), kHessian, {{"sdirs", 16}}, 1e-8, 3},
      // The products rows solve from random starts: over 2e5 runs the SD2
      // distance stayed below 3.1e-9, SD3's below 1.4e-9.
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h{&c.problem};
    Outcome out;
    stderrOf([&] { out = run(h, {}, c.options, c.callbacks); });
    EXPECT_EQ(out.status, 0) << h.lastCode();
    if (c.problem.solution.empty()) {
      EXPECT_LT(out.f, c.tolerance);
    } else {
      EXPECT_LT(distance(out.x, c.problem.solution), c.tolerance);
    }
    EXPECT_LE(h.iterations(), c.maxIterations);
  }
}

TEST_F(ZelkKnownAnswers, StartAtTheMinimiserEndsAtOnce) {
  for (Callbacks cb : {kGradient, kHessian, kProducts, kObjectiveOnly}) {
    Host h{&diagonal()};
    Outcome out;
    stderrOf([&] { out = run(h, {0.0, 0.0}, {}, cb); });
    EXPECT_EQ(h.lastCode(), "25");
    EXPECT_EQ(h.iterations(), 1);
    EXPECT_EQ(out.x, (std::vector<double>{0.0, 0.0}));
  }
}

TEST_F(ZelkKnownAnswers, FallbackTriesTheMissingKindsFromTheEnd) {
  // [SD3] without Hessian or products: SD4 and SD2 are skipped.
  Host h{&diagonal()};
  const std::string err =
      stderrOf([&] { run(h, {0.0, 0.0}, {{"sdirs", 8}, {"enableFallback", 1}, {"trace", 2}}); });
  EXPECT_EQ(h.lastCode(), "25");
  std::size_t at = 0;
  for (const char* line : {"search dir 64 because the 1 previous tries did not succeed\n",
                           "Search dir SD6 not implemented\n",
                           "search dir 32 because the 2 previous tries did not succeed\n",
                           "search dir 2 because the 3 previous tries did not succeed\n",
                           "search dir 1 because the 4 previous tries did not succeed\n"}) {
    at = err.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " in\n" << err;
  }
  EXPECT_FALSE(contains(err, "search dir 16"));
  EXPECT_FALSE(contains(err, "search dir 4 "));
}

// Calls from two threads take turns on the driver: no callback of one run
// sees the other run active, and each run gets its own answer.
TEST(ZelkThreaded, TwoProblemsAtOnceTakeTurns) {
  ScratchDir dir;
  std::atomic<int> active{0};
  std::atomic<bool> overlap{false};
  bool rosenbrockOk = true, spdOk = true;
  auto solve = [&](int id, const Problem& p, Callbacks cb, bool& ok) {
    FpTrapGuard traps;
    for (int round = 0; round < 3; ++round) {
      Host h{&p};
      h.inCallback = [&, id](Host&) {
        int expected = 0;
        if (!active.compare_exchange_strong(expected, id) && expected != id) overlap = true;
      };
      h.onRecord = [&](Host&, const Record& r) {
        if (r.count("exit")) active = 0;
      };
      const Outcome out = run(h, {}, {{"saveLast", 0}}, cb);
      ok = ok && out.status == 0 && distance(out.x, p.solution) < 1e-5;
    }
  };
  stderrOf([&] {
    std::thread a(solve, 1, std::cref(rosenbrock()), kGradient, std::ref(rosenbrockOk));
    std::thread b(solve, 2, std::cref(spd5()), kHessian, std::ref(spdOk));
    a.join();
    b.join();
  });
  EXPECT_FALSE(overlap);
  EXPECT_TRUE(rosenbrockOk);
  EXPECT_TRUE(spdOk);
}

}  // namespace
