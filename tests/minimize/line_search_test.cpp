// The line search of the minimisation driver on one variable, with the
// floating-point traps on.

#include "minimize/line_search.h"
#include "minimize/zelk_fixtures.h"

namespace {

using namespace zelk_test;

// The objective of the line-search tests, with the gradient of its default.
std::function<double(double)> lineValue;
const Problem kLine{"line", {0.0}, {}, [](const double* x) { return lineValue(x[0]); },
                    [](const double* x, double* g) { g[0] = 2.0 * (x[0] - 0.37); }, nullptr};

class LineSearch : public SearchTest {
 protected:
  LineSearch() {
    task_.gradient = gradient;
    h_.problem = &kLine;
    lineValue = [](double x) { return (x - 0.37) * (x - 0.37); };
  }
  // From x0 along dir with the slope factor slope (f'(x0) = slope).
  LSResult search(double x0, double dir, double slope) {
    return task_.linesearch(lineValue(x0), Vec{x0}, Vec{dir}, 1.0, Vec{slope}, "SD0", 1);
  }
  const Vec x{0.0}, d{1.0}, g{-0.74};  // the start, direction and gradient of most tests
};

TEST_F(LineSearch, ReturnsTheLowestRowOfItsSortedTable) {
  // Downhill along d = 1, and along d = -1, which is uphill and searched
  // reversed (sign -1).
  for (double dir : {1.0, -1.0}) {
    SCOPED_TRACE(dir);
    state.status = 0;
    const LSResult r = search(0.0, dir, -0.74);
    EXPECT_EQ(r.sign, dir > 0 ? 1 : -1);
    EXPECT_EQ(state.status, dir > 0 ? 0 : 0x20);
    EXPECT_NEAR(r.alpha, 0.37, 1e-2);
    const Vec &J = r.trials.values[0], &alpha = r.trials.values[1];
    ASSERT_GT(J.size(), 3u);
    EXPECT_EQ(r.J, J.min());
    for (std::size_t i = 1; i < alpha.size(); ++i) EXPECT_LE(alpha[i - 1], alpha[i]);
    EXPECT_EQ(r.J, lineValue(r.alpha));
  }
  EXPECT_GT(state.nScan, 1);
  EXPECT_EQ(h_.counts.gradient, 0);  // wolcheck 1 tests no curvature
  opts.wolcheck = 3;
  EXPECT_NEAR(search(0.0, 1.0, -0.74).alpha, 0.37, 1e-2);
  EXPECT_GT(h_.counts.gradient, 0);
}

TEST_F(LineSearch, StepsBackPastTheStartMustLowerTheObjectiveToo) {
  // f = (x - 0.37)^2 right of 0 and 0.2 > f(0) left of it, from 0 along +1
  // (slope -0.74): a step a < 0 must lower f by |a| c1 0.74 as a step
  // forward would; with the bound f0 + a c1 s0 every value below
  // 0.137 + 7.4e-5 |a| passed, and the backward scans ran uphill.
  lineValue = [](double x) { return x < 0.0 ? 0.2 : (x - 0.37) * (x - 0.37); };
  const LineSearchClosure closure{task_, lineValue(0.0), x, d, g, -0.74};
  const std::pair<double, bool> cases[] = {
      {0.37, true}, {0.7, true}, {0.74, false}, {-1e-3, false}, {-1e4, false}, {1e4, false}};
  for (const auto& [a, armijo] : cases) EXPECT_EQ(closure.test(a).armijo, armijo) << a;
  const LSResult r = search(0.0, 1.0, -0.74);
  for (double J : r.trials.values[0]) EXPECT_LT(J, lineValue(0.0));
}

TEST_F(LineSearch, NoStepWithoutAUsableSlopeOrValue) {
  const std::function<double(double)> quadratic = lineValue;
  const std::function<double(double)> nanBeside = [](double x) { return x == 0.0 ? 1.0 : kNaN; };
  struct Case {
    const char* what;
    double d, g;
    std::function<double(double)> f;
    int status;
    double alphamin = 1e-80;
    const char* warning = "";
    int wolcheck = 1;
  } const cases[] = {
      {"zero slope", 0.0, -0.74, quadratic, 0x40},
      {"NaN slope", 1.0, kNaN, quadratic, 0x40},
      {"infinite slope", 1.0, -kInf, quadratic, 0x40},
      {"NaN beside the start", 1.0, -0.74, nanBeside, 0},
      // Without a smallest step the backtracking ends after 1000 trials with
      // a warning; no error is recorded.
      {"no step floor", 1.0, -0.74, nanBeside, 0, 0.0, "Warning: search error I\n"},
      // The curvature tests evaluate the gradient only after Armijo's.
      {"NaN beside the start, curvature", 1.0, -0.74, nanBeside, 0, 1e-80, "", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    state.status = 0;
    lineValue = c.f;
    opts.alphamin = c.alphamin;
    opts.wolcheck = c.wolcheck;
    LSResult r;
    EXPECT_EQ(stderrOf([&] { r = search(0.0, c.d, c.g); }), c.warning);
    EXPECT_EQ(std::tuple(r.J, r.alpha, r.sign), std::tuple(-1.0, 0.0, 0));  // no step
    EXPECT_TRUE(r.trials.values.empty());
    EXPECT_EQ(state.status, c.status);
    EXPECT_EQ(state.error, 0);
    EXPECT_EQ(h_.counts.gradient, 0);
  }
}

TEST_F(LineSearch, NonFiniteValuesNeverEnterTheTable) {
  for (double wall : {kNaN, kInf, -kInf}) {
    SCOPED_TRACE(wall);
    lineValue = [wall](double x) { return x > 0.3 ? wall : (x - 0.37) * (x - 0.37); };
    LSResult r = search(0.0, 1.0, -0.74);
    EXPECT_LE(r.alpha, 0.3);
    EXPECT_GT(r.alpha, 0.2);
    for (double J : r.trials.getvector("J")) EXPECT_TRUE(std::isfinite(J));
  }
}

TEST_F(LineSearch, CheckOfTheResult) {
  std::valarray<bool> flags(true, 3);
  const double f0 = lineValue(0.0);
  EXPECT_FALSE(checkLineSearchPoint(task_, f0, x, g, LSResult{}, d, flags));
  EXPECT_TRUE(flags[0] && flags[1] && flags[2]);

  LSResult r = search(0.0, 1.0, -0.74);
  EXPECT_TRUE(checkLineSearchPoint(task_, f0, x, g, r, d, flags));
  r.alpha = 1.0;  // f(1) > f(0): no decrease
  EXPECT_FALSE(checkLineSearchPoint(task_, f0, x, g, r, d, flags));
  EXPECT_FALSE(flags[0]);
  r.alpha = kInf;
  EXPECT_FALSE(checkLineSearchPoint(task_, f0, x, g, r, d, flags));

  // At 0.72 the value has fallen enough and the slope 0.7 has turned up
  // (above c2 s0 = -0.666), but exceeds |c2 s0|: only the strong curvature
  // test fails, which wolcheck 2 does not make.
  using Flags = std::vector<bool>;
  const std::tuple<int, bool, Flags> levels[] = {{3, false, {true, true, false}},
                                                 {2, true, {true, true, true}}};
  for (const auto& [level, accepted, expected] : levels) {
    opts.wolcheck = level;
    r.alpha = 0.72;
    EXPECT_EQ(checkLineSearchPoint(task_, f0, x, g, r, d, flags), accepted) << level;
    EXPECT_EQ(Flags(std::begin(flags), std::end(flags)), expected) << level;
  }
}

TEST_F(LineSearch, SweepOfAnEmptyTableLeavesItAsItIs) {
  const LineSearchClosure closure{task_, lineValue(0.0), x, d, g, -0.74};
  DataFrame t;
  EXPECT_EQ(stderrOf([&] { t = sweepTrials(closure, trialTable(), 0, "min"); }),
            "invalid sweep start offset 0 for sweep mode min\n");
  EXPECT_EQ(t.values[0].size(), 0u);
  EXPECT_EQ(state.nScan, 0);
}

}  // namespace
