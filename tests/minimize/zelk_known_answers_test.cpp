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
    std::printf("%-24s it %4ld  f %4ld g %4ld H %4ld Hv %5ld code %s dist %g\n", c.what,
                out.host.iterations, out.host.counts.objective, out.host.counts.gradient,
                out.host.counts.hessian, out.host.counts.product, out.code.c_str(),
                distance(out.x, c.problem.solution));
  }
}

}  // namespace
