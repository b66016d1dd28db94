// The least-squares line searches along a line whose residuals vanish at a
// known step length, and what they are made of: the objective and its
// slope, the Wolfe codes, the sweeps and grids.

#include "leastsq/line_search.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "leastsq/residual_objective.h"
#include "leastsq/step_sweeps.h"
#include "leastsq/trovik_host.h"
#include "leastsq/wolfe_code.h"
#include "support/fp_traps.h"

using namespace trovik_host;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ResidualObjective, KnownReductionsAndSlopes) {
  const FreshOptions fresh;
  const FpTrapGuard traps;
  struct Case {
    Vec r;
    unsigned ussum;
    double expected;
  };
  const Case cases[] = {
      {{3, 4}, 0, 5},          {{3, 4}, 1, 2500},
      {{3, 4}, 2, 7},          {{3, 4}, 3, 3.5},
      {{1e16, 1, 1}, 2, 1e16}, {{1e200, 1e200}, 1, 500 * std::sqrt(2.0) * 1e200},
      {{1, kNaN}, 1, kNaN},    {{1, kNaN}, 3, kNaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "ussum " << c.ussum << ", r0 " << c.r[0]);
    opts.ussum = c.ussum;
    const double F = evalFunc(c.r);
    if (std::isnan(c.expected))
      EXPECT_TRUE(std::isnan(F));
    else
      EXPECT_DOUBLE_EQ(F, c.expected);
  }
  EXPECT_EQ(savesum({1e16, 1, 1}), 1e16 + 2);  // ascending: the ones meet first

  // The slope is the objective's derivative along q, also where ||r||^2
  // would overflow.
  const Vec r{3, -4, 1}, q{0.5, 2, -1};
  for (unsigned ussum : {0u, 1u, 2u, 3u}) {
    opts.ussum = ussum;
    const double t = 1e-6;
    const double fd = (evalFunc(r + t * q) - evalFunc(r - t * q)) / (2 * t);
    EXPECT_NEAR(objectiveSlope(r, q), fd, 1e-6 * std::fabs(fd)) << ussum;
  }
  opts.ussum = 1;
  EXPECT_DOUBLE_EQ(objectiveSlope({1e200, 1e200}, {1e200, 1e200}), 500 * std::sqrt(2.0) * 1e200);
  EXPECT_EQ(objectiveSlope({0, 0}, {1, 1}), 0.0);
}

TEST(WolfeCodes, LevelsAndTrials) {
  const FreshOptions fresh;  // c1 = 1e-4, c2 = 0.9
  const FpTrapGuard traps;
  // Codes 1, 3, 7, 15 and two with holes, accepted (1) or not by level.
  const int codes[] = {0, 1, 3, 7, 15, 5, 11};
  const int accepted[][7] = {
      {0, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1}, {0, 0, 1, 1, 1, 0, 1}, {0, 0, 0, 1, 1, 0, 0},
      {0, 0, 0, 0, 1, 0, 0}, {0, 0, 0, 0, 1, 0, 0}, {0, 0, 0, 0, 1, 0, 0},
  };
  for (int level = -1; level <= 5; ++level) {
    opts.wolcheck = level;
    for (int k = 0; k < 7; ++k) {
      std::valarray<bool> flags(4);
      for (int bit = 0; bit < 4; ++bit) flags[bit] = (codes[k] >> bit) & 1;
      EXPECT_EQ(wccode(flags), codes[k]);
      EXPECT_EQ(checkWolC(codes[k]), accepted[level + 1][k] == 1) << level << " " << codes[k];
      EXPECT_EQ(checkWol(flags), accepted[level + 1][k] == 1) << level << " " << codes[k];
    }
  }
  // Trials from f0 = 1 with slope g0 = -1 along the search.
  struct Case {
    double J, g;
    int level, code;
  };
  const Case cases[] = {
      {1.0, -1.0, 3, 0},   // no decrease
      {kNaN, -1.0, 3, 0},  // a NaN trial
      {0.9, -1.0, 0, 1},   // decrease only at level 0
      {0.99996, 0, 1, 1},  // above f0 + c1 alpha g0 = 0.99995
      {0.5, -1.0, 2, 3},   // g < c2 g0: still descending steeply
      {0.5, 0.95, 3, 7},   // curvature, not strong
      {0.5, -0.2, 3, 15}, {0.5, kNaN, 3, 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wolfeCode(c.J, c.g, 0.5, 1.0, -1.0, c.level), c.code) << c.J << " " << c.g;
}

// Searches along x0 + t d on r(x) = A x - b, where b puts the root at
// t = root: the residual is (t - root) A d along the line.
struct LineSearchTest : ::testing::Test {
  FreshOptions fresh;
  FpTrapGuard traps;
  Host host{sixByThree()};
  TrovikOptimizationTask task;
  Vec x0{0.5, -1.0, 2.0}, d{1.0, 2.0, -1.0}, r;
  double f0 = 0.0, g0 = 0.0;
  double nanLimit = INFINITY;  // residuals are NaN beyond this step length

  void SetUp() override { connect(task, host); }

  // A root at t = root along d, on the 6 x 3 A or another problem's.
  void rootAt(double root, const Problem& base = sixByThree()) {
    Values A(base.m * base.n);
    base.jacobian(nullptr, A.data());
    const Vec b = times(base, x0 + root * d);
    Problem p = linear("line", base.m, base.n, A, Values(std::begin(b), std::end(b)), {});
    p.residual = [this, m = base.m, linearResidual = p.residual](const double* x, double* out) {
      linearResidual(x, out);
      double t = 0.0, dd = 0.0;
      for (std::size_t j = 0; j < d.size(); ++j) {
        t += (x[j] - x0[j]) * d[j];
        dd += d[j] * d[j];
      }
      if (t / dd > nanLimit) std::fill(out, out + m, kNaN);
    };
    host.problem = p;
    r = Vec(0.0, base.m);
    task.Feval(x0, r);
    f0 = evalFunc(r);
    g0 = objectiveSlope(r, times(base, d));
    state.reset();
  }
  LSResult search(int lstype, double sign = 1.0) {
    opts.lstype = lstype;
    LineSearchContext context{
        .task = task, .r = r, .f0 = f0, .x = x0, .d = d, .g0 = g0, .directionSign = sign};
    return lineSearch(context, "SD3");
  }
  // The point the driver steps to, as a step length along d.
  static double landing(const LSResult& res) { return res.sign * res.alpha; }
};

TEST_F(LineSearchTest, Variants) {
  struct Case {
    const char* name;
    double root;
    std::map<std::string, double> options;
    int lstype;
    double sign;      // directionSign handed over
    double nanLimit;  // residuals NaN beyond it
    double expected;  // landing; NaN: no step
    double tolerance;
    int trials;  // residual calls: exactly that many when sorted, at most when not; 0 unchecked
  };
  const Case cases[] = {
      {"sorted", 0.37, {}, 1, 1.0, INFINITY, 0.37, 0.0037, 144 + 2 * 12 + 3 * 4 * 12},
      {"sweep", 0.37, {}, 0, 1.0, INFINITY, 0.37, 1e-6, 144 + 7},
      {"no passes", 0.37, {{"nsweeps", 0}}, 1, 1.0, INFINITY, 0.37, 0.05, 144 + 2 * 12},
      {"far root", 3.0, {}, 1, 1.0, INFINITY, 3.0, 0.03, 312},
      {"far root, capped", 3.0, {{"alphasafe", 2}}, 1, 1.0, INFINITY, 1.0, 0.0, 312},
      {"reversed, sorted", -0.37, {}, 1, -1.0, INFINITY, -0.37, 0.0037, 312},
      {"reversed, sweep", -0.37, {}, 0, -1.0, INFINITY, -0.37, 1e-6, 151},
      {"NaN beyond 0.5, sorted", 0.37, {}, 1, 1.0, 0.5, 0.37, 0.0037, 312},
      {"NaN beyond 0.5, sweep", 0.37, {}, 0, 1.0, 0.5, 0.37, 1e-6, 151},
      {"no refinement", 0.37, {{"lsmaxit", 0}}, 0, 1.0, INFINITY, 0.37, 0.05, 144},
      {"wolcheck 2, beyond the kink", 0.37, {{"wolcheck", 2}}, 1, 1.0, INFINITY, 0.37, 0.0037, 0},
      {"all NaN, sorted", 0.37, {}, 1, 1.0, 1e-300, kNaN, 0, 144},
      {"all NaN, sweep", 0.37, {}, 0, 1.0, 1e-300, kNaN, 0, 144},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshOptions options(c.options);
    nanLimit = c.nanLimit;
    rootAt(c.root);
    testing::internal::CaptureStderr();
    const LSResult res = search(c.lstype, c.sign);
    testing::internal::GetCapturedStderr();
    const int calls = state.residualCalls();
    EXPECT_TRUE(c.trials == 0 || (c.lstype == 1 ? calls == c.trials : calls <= c.trials)) << calls;
    if (std::isnan(c.expected)) {
      EXPECT_EQ(res.J, -1.0);
      EXPECT_EQ(res.alpha, 0.0);
      EXPECT_EQ(res.sign, 0);
      EXPECT_EQ(state.error, 0);
      continue;
    }
    EXPECT_NEAR(landing(res), c.expected, c.tolerance);
    EXPECT_LE(res.alpha, c.options.count("alphasafe") ? 1.0 : INFINITY);
    EXPECT_EQ(res.sign, int(c.sign));
    EXPECT_TRUE(checkWolC(res.code));
  }
}

TEST_F(LineSearchTest, AZeroSlopeMakesNoTrial) {
  rootAt(0.37);
  g0 = 0.0;
  for (int lstype : {1, 0}) {
    state.reset();
    testing::internal::CaptureStderr();
    const LSResult res = search(lstype);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Linesearch SD3: Warning: direction length 0: 0\n");
    EXPECT_EQ(state.status, 0x40);
    EXPECT_EQ(state.residualCalls(), 0);
    EXPECT_EQ(res.J, -1.0);
    EXPECT_EQ(res.trials.names.size(), 0u);
  }
}

TEST_F(LineSearchTest, ManyResidualsStillMove) {
  // 20000 residuals of 10 at x = 0 falling to 0 at x = 0.37.
  x0 = Vec(0.0, 1);
  d = Vec(1.0, 1);
  rootAt(0.37, linear("many", 20000, 1, Values(20000, -10.0 / 0.37), Values(20000, -10.0), {0.0}));
  for (int lstype : {1, 0}) {
    state.reset();
    const LSResult res = search(lstype);
    EXPECT_NEAR(landing(res), 0.37, 0.0037) << "lstype " << lstype;
    EXPECT_LT(res.J, 1e-3 * f0);
  }
}

// Traced trials reach the history and the host, NaN ones too; without a
// Jacobian-vector callback the slopes of "wolcheck" 2 come from J.
TEST_F(LineSearchTest, TracedTrialsAndSlopesFromTheJacobian) {
  IterationHistory history;
  task.history = &history;
  task.jv = nullptr;
  nanLimit = 0.5;
  rootAt(0.37);
  opts.trace = 0x400;
  opts.wolcheck = 2;
  testing::internal::CaptureStderr();
  const LSResult res = search(1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: JVeval not available\n");
  EXPECT_NEAR(res.alpha, 0.37, 0.0037);
  EXPECT_EQ(state.status & 0x1000, 0x1000);
  EXPECT_EQ(state.jacobianCalls(), 312);
  EXPECT_EQ(history.size(), 312u);
  EXPECT_EQ(host.records.size(), 312u);
  int nan = 0;
  for (const IterationRecord& rec : history) nan += rec.at("J") == "nan";
  EXPECT_GT(nan, 0);
  EXPECT_EQ(history[0].at("m"), "SD3");
  EXPECT_EQ(history[0].at("a"), "1");
}

TEST_F(LineSearchTest, SweepsAndGrids) {
  rootAt(0.37);
  LineSearchContext context{.task = task, .r = r, .f0 = f0, .x = x0, .d = d, .g0 = g0};
  DataFrame sweep = sweepStepLengths(context);
  const Vec& alpha = sweep.getvector("alpha");
  ASSERT_EQ(alpha.size(), 144u);
  EXPECT_EQ(alpha[0], 1.0);
  EXPECT_NEAR(alpha[47], 1e-12, 1e-24);
  // The later sweeps close in on the root.
  EXPECT_LT(alpha[96], 0.37 * 8);
  EXPECT_GT(alpha[143], 0.37 / 8);

  // A grid below "alphamin" starts there; an "alphamin" of 0 means the
  // smallest positive double; repeats move to fresh step lengths.
  opts.alphamin = 1e-3;
  EXPECT_NEAR(evalStepGrid(1e-9, 1e-1, context, "SD3").getvector("alpha")[0], 1e-3, 1e-15);
  opts.alphamin = 0.0;
  const double smallest = evalStepGrid(-1.0, 1.0, context, "SD3").getvector("alpha")[0];
  EXPECT_NEAR(smallest / DBL_MIN, 1.0, 1e-12);
  context.trialCache.clear();
  DataFrame grid = evalStepGrid(0.5, 0.5, context, "SD3");
  const Vec& repeats = grid.getvector("alpha");
  EXPECT_DOUBLE_EQ(repeats[0], 0.5);
  EXPECT_DOUBLE_EQ(repeats[1], repeats[0] * 1.1);                 // nothing larger cached yet
  EXPECT_DOUBLE_EQ(repeats[2], (repeats[0] + repeats[1]) * 0.5);  // halfway to it
  EXPECT_EQ(context.trialCache.size(), 12u);

  // All trials NaN: every sweep keeps the first one's range.
  nanLimit = 0.0;
  sweep = sweepStepLengths(context);
  const Vec& kept = sweep.getvector("alpha");
  for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(kept[96 + k], kept[k]);
}

}  // namespace
