// The least-squares line searches along a line whose residuals vanish at a
// known step length, and what they are made of: the objective and its
// slope, the Wolfe codes, the sweeps and grids.

#include "leastsq/line_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

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
  const std::tuple<Vec, unsigned, double> cases[] = {
      {{3, 4}, 0, 5},          {{3, 4}, 1, 2500},
      {{3, 4}, 2, 7},          {{3, 4}, 3, 3.5},
      {{1e16, 1, 1}, 2, 1e16}, {{1e200, 1e200}, 1, 500 * std::sqrt(2.0) * 1e200},
      {{1, kNaN}, 1, kNaN},    {{1, kNaN}, 3, kNaN},
  };
  for (const auto& [r, ussum, expected] : cases) {
    opts.ussum = ussum;
    const double F = evalFunc(r);
    EXPECT_TRUE(std::isnan(expected) ? std::isnan(F) : std::fabs(F - expected) <= 1e-15 * expected)
        << "ussum " << ussum << ", r0 " << r[0] << ": " << F;
  }
  EXPECT_EQ(savesum({1e16, 1, 1}), 1e16 + 2);  // ascending: the ones meet first

  // The slope is the objective's derivative along q, also where ||r||^2
  // would overflow.
  const Vec r{3, -4, 1}, q{0.5, 2, -1};
  for (unsigned ussum : {0u, 1u, 2u, 3u}) {
    opts.ussum = ussum;
    const double fd = (evalFunc(r + 1e-6 * q) - evalFunc(r - 1e-6 * q)) / 2e-6;
    EXPECT_NEAR(objectiveSlope(r, q), fd, 1e-6 * std::fabs(fd)) << ussum;
  }
  opts.ussum = 1;
  EXPECT_DOUBLE_EQ(objectiveSlope({1e200, 1e200}, {1e200, 1e200}), 500 * std::sqrt(2.0) * 1e200);
  EXPECT_EQ(objectiveSlope({0, 0}, {1, 1}), 0.0);
}

TEST(WolfeCodes, LevelsAndTrials) {
  const FreshOptions fresh;  // c1 = 1e-4, c2 = 0.9
  const FpTrapGuard traps;
  // Codes 1, 3, 7, 15 and two with holes; a level accepts a code that has
  // all the bits it asks for: decrease from level -1, then curvature,
  // strong curvature and the fourth bit from level 3 on.
  const int codes[] = {0, 1, 3, 7, 15, 5, 11}, asked[] = {1, 1, 3, 7, 15, 15, 15};
  for (int level = -1; level <= 5; ++level) {
    opts.wolcheck = level;
    for (const int code : codes) {
      std::valarray<bool> flags(4);
      for (int bit = 0; bit < 4; ++bit) flags[bit] = (code >> bit) & 1;
      const bool accepted = (code & asked[level + 1]) == asked[level + 1];
      EXPECT_EQ(wccode(flags), code);
      EXPECT_EQ(checkWolC(code), accepted) << level << " " << code;
      EXPECT_EQ(checkWol(flags), accepted) << level << " " << code;
    }
  }
  // Trials {J, g, level, code} from f0 = 1 with slope g0 = -1 along the
  // search: no decrease, a NaN trial, decrease at level 0, above f0 + c1
  // alpha g0 = 0.99995, g < c2 g0 (still descending steeply), curvature
  // but not strong, strong curvature, a NaN slope.
  const double cases[][4] = {{1.0, -1.0, 3, 0},  {kNaN, -1.0, 3, 0}, {0.9, -1.0, 0, 1},
                             {0.99996, 0, 1, 1}, {0.5, -1.0, 2, 3},  {0.5, 0.95, 3, 7},
                             {0.5, -0.2, 3, 15}, {0.5, kNaN, 3, 3}};
  for (const auto& c : cases)
    EXPECT_EQ(wolfeCode(c[0], c[1], 0.5, 1.0, -1.0, int(c[2])), c[3]) << c[0] << " " << c[1];
}

// Searches along x0 + t d on a linear problem shifted so that its root
// lies at t = root: the residual is (t - root) A d along the line.
struct LineSearchTest : ::testing::Test {
  FreshOptions fresh;
  FpTrapGuard traps;
  Host host{sixByThree()};
  TrovikOptimizationTask task;
  Vec x0{0.5, -1.0, 2.0}, d{1.0, 2.0, -1.0}, r;
  double f0 = 0.0, g0 = 0.0;
  double nanLimit = INFINITY;  // residuals are NaN beyond this step length

  void SetUp() override { connect(task, host); }

  // r(x) - r(x0 + root d) of a linear problem: its root at t = root.
  void rootAt(double root, const Problem& base = sixByThree()) {
    const Vec atRoot = residualsAt<Vec>(base, x0 + root * d);
    host.problem = base;
    host.problem.residual = [this, base, atRoot](const double* x, double* out) {
      base.residual(x, out);
      double t = 0.0;
      for (std::size_t j = 0; j < d.size(); ++j) t += (x[j] - x0[j]) * d[j];
      const bool nan = t / (d * d).sum() > nanLimit;
      for (std::size_t i = 0; i < atRoot.size(); ++i) out[i] = nan ? kNaN : out[i] - atRoot[i];
    };
    r = Vec(0.0, base.m);
    task.Feval(x0, r);
    f0 = evalFunc(r);
    g0 = objectiveSlope(r, residualsAt<Vec>(base, x0 + d) - residualsAt<Vec>(base, x0));
    state.reset();
  }
  LSResult search(int lstype, double sign = 1.0) {
    opts.lstype = lstype;
    LineSearchContext context{
        .task = task, .r = r, .f0 = f0, .x = x0, .d = d, .g0 = g0, .directionSign = sign};
    return lineSearch(context, "SD3");
  }
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
    int trials;         // residual calls: exactly that many when sorted, at most when not
    bool many = false;  // 20000 residuals of 10 at the start instead of the 6 x 3 problem
  };
  // m ||r|| of 2.8e7: the slope of half the sum of squares would let no
  // trial pass.
  Values A(20000 * 3, 0.0);
  for (std::size_t i = 0; i < A.size(); i += 3) A[i] = 10.0 / 0.37;
  const Problem many = linear("many", 20000, 3, A, Values(20000, 0.0), {});
  const Case cases[] = {
      {"sorted", 0.37, {}, 1, 1.0, INFINITY, 0.37, 0.0037, 144 + 2 * 12 + 3 * 4 * 12},
      {"sweep", 0.37, {}, 0, 1.0, INFINITY, 0.37, 1e-6, 144 + 7},
      {"no passes", 0.37, {{"nsweeps", 0}}, 1, 1.0, INFINITY, 0.37, 0.05, 144 + 2 * 12},
      {"far root, capped", 3.0, {{"alphasafe", 2}}, 1, 1.0, INFINITY, 1.0, 0.0, 312},
      // "alphasafe" 1 caps only once the best J is at most "alphasafeJ".
      {"far root, J under alphasafeJ", 3.0, {{"alphasafe", 1}, {"alphasafeJ", 1e10}}, 1, 1.0,
       INFINITY, 1.0, 0.0, 312},
      {"far root, J over alphasafeJ", 3.0, {{"alphasafe", 1}}, 1, 1.0, INFINITY, 3.0, 0.03, 312},
      {"reversed, sorted", -0.37, {}, 1, -1.0, INFINITY, -0.37, 0.0037, 312},
      {"reversed, sweep", -0.37, {}, 0, -1.0, INFINITY, -0.37, 1e-6, 151},
      {"NaN beyond 0.5, sorted", 0.37, {}, 1, 1.0, 0.5, 0.37, 0.0037, 312},
      {"NaN beyond 0.5, sweep", 0.37, {}, 0, 1.0, 0.5, 0.37, 1e-6, 151},
      {"all NaN, sorted", 0.37, {}, 1, 1.0, 1e-300, kNaN, 0, 144},
      {"all NaN, sweep", 0.37, {}, 0, 1.0, 1e-300, kNaN, 0, 144},
      {"zero slope, sorted", 0.0, {}, 1, 1.0, INFINITY, kNaN, 0, 0},
      {"zero slope, sweep", 0.0, {}, 0, 1.0, INFINITY, kNaN, 0, 0},
      {"many, sorted", 0.37, {}, 1, 1.0, INFINITY, 0.37, 0.0037, 312, true},
      {"many, sweep", 0.37, {}, 0, 1.0, INFINITY, 0.37, 0.0037, 151, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshOptions options(c.options);
    nanLimit = c.nanLimit;
    rootAt(c.root, c.many ? many : sixByThree());
    testing::internal::CaptureStderr();
    const LSResult res = search(c.lstype, c.sign);
    const bool flat = testing::internal::GetCapturedStderr() ==
                      "Linesearch SD3: Warning: direction length 0: 0\n";
    EXPECT_EQ(flat && state.status == 0x40, c.root == 0.0);
    const int calls = state.residualCalls();
    EXPECT_TRUE(c.lstype == 1 ? calls == c.trials : calls <= c.trials) << calls;
    if (std::isnan(c.expected)) {
      EXPECT_EQ(res.J, -1.0);
      EXPECT_EQ(res.alpha, 0.0);
      EXPECT_EQ(res.sign, 0);
      EXPECT_EQ(state.error, 0);
      continue;
    }
    EXPECT_NEAR(res.sign * res.alpha, c.expected, c.tolerance);  // where the driver steps to
    EXPECT_EQ(res.sign, int(c.sign));
    EXPECT_TRUE(checkWolC(res.code));
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
  EXPECT_EQ(host.records.size(), history.size());
  EXPECT_TRUE(std::any_of(history.begin(), history.end(),
                          [](const IterationRecord& rec) { return rec.at("J") == "nan"; }));
  EXPECT_EQ(history.at(0).at("m"), "SD3");
  // Each record carries its trial's Wolfe code: the first trial, at 1 where
  // the residuals are NaN, none; the chosen one the three bits of level 2.
  EXPECT_EQ(history.at(0).at("a"), "1");
  EXPECT_EQ(history.at(0).at("wc"), "0");
  EXPECT_EQ(res.code, 7);
  const auto chosen = std::find_if(history.begin(), history.end(), [&](const IterationRecord& rec) {
    return std::stod(rec.at("a")) == res.alpha;
  });
  ASSERT_NE(chosen, history.end());
  EXPECT_EQ(chosen->at("wc"), "7");
}

// Along a curved line the sweep search's damped Newton steps reach the root
// from above, overshoot it once their damping has grown, and come back: a
// step that falls between two tried step lengths l < u is pulled to
// 0.2 a + 0.8 (l + u) / 2, within a tenth of the gap of its middle. The
// refinement trials are recorded in order; 12 of them reach past the
// overshoot.
TEST_F(LineSearchTest, SweepRefinementPullsAStepBetweenTriedOnesIntoTheGap) {
  const Problem curved =
      nonlinear("curved", 2, {0.0, 0.0, 0.0}, {}, 0, 0, [](const auto* x, auto* r) {
        using std::exp;
        const QuietFpScope quiet;  // far steps overflow: the host hands back inf
        r[0] = exp(x[0] + x[1]);
        r[1] = x[0] - x[2];
      });
  IterationHistory history;
  task.history = &history;
  rootAt(0.37, curved);
  opts.trace = 0x400;
  opts.lsmaxit = 12;
  testing::internal::CaptureStderr();
  const LSResult res = search(0);
  testing::internal::GetCapturedStderr();
  EXPECT_NEAR(res.alpha, 0.37, 1e-4);
  std::vector<double> tried;  // sorted
  int between = 0;
  for (const IterationRecord& record : history) {
    const double a = std::stod(record.at("a"));
    const auto u = std::lower_bound(tried.begin(), tried.end(), a);
    if (u != tried.end() && u != tried.begin()) {
      const double l = *std::prev(u);
      ++between;
      EXPECT_LE(std::fabs(a - 0.5 * (l + *u)), 0.1 * (*u - l) * (1 + 1e-12)) << a;
    }
    tried.insert(u, a);
  }
  EXPECT_GT(between, 0);
}

TEST_F(LineSearchTest, SweepsAndGrids) {
  rootAt(0.37);
  LineSearchContext context{.task = task, .r = r, .f0 = f0, .x = x0, .d = d, .g0 = g0};
  // A grid below "alphamin" starts there; an "alphamin" of 0 means the
  // smallest positive double.
  opts.alphamin = 1e-3;
  EXPECT_NEAR(evalStepGrid(1e-9, 1e-1, context, "SD3").getvector("alpha")[0], 1e-3, 1e-15);
  opts.alphamin = 0.0;
  EXPECT_NEAR(evalStepGrid(-1.0, 1.0, context, "SD3").getvector("alpha")[0] / DBL_MIN, 1.0, 1e-12);
  // Each sweep narrows the range around the best step a* of all rows so
  // far to a* / q .. min(a* q, 1), q the fourth root of the last range's
  // ratio: from 1 .. 1e-12 (q = 1000) the second sweep spans 1 .. a* / 1000.
  DataFrame sweeps = sweepStepLengths(context);
  const Vec alpha = sweeps.getvector("alpha"), J = sweeps.getvector("J");
  const auto bestOf = [&](std::size_t rows) {
    return alpha[std::min_element(std::begin(J), std::begin(J) + rows) - std::begin(J)];
  };
  double hi = 1.0, lo = 1e-12;
  for (std::size_t sweep = 1; sweep < 3; ++sweep) {
    const double best = bestOf(48 * sweep), q = std::sqrt(std::sqrt(hi / lo));
    hi = std::fmin(best * q, 1.0);
    lo = best / q;
    EXPECT_NEAR(alpha[48 * sweep], hi, 1e-14 * hi) << sweep;
    EXPECT_NEAR(alpha[48 * sweep + 47], lo, 1e-14 * lo) << sweep;
  }
  EXPECT_EQ(alpha[48], 1.0);
  EXPECT_NEAR(alpha[95], std::pow(10.0, -24.0 / 47.0) / 1000, 1e-17);  // a* nearest 0.37

  // All trials NaN: every sweep keeps the first one's range.
  nanLimit = 0.0;
  const Vec kept = sweepStepLengths(context).getvector("alpha");
  for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(kept[96 + k], kept[k]);
}

}  // namespace
