// The derivative checks' steps and the error they measure: steps scaled to
// each variable that reach exactly the points they divide by, and the
// excess of a derivative's distance from a difference over the
// difference's own error.

#include "driver/central_difference.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>
#include <valarray>
#include <vector>

#include "driver/fd_step.h"
#include "support/fp_traps.h"

namespace {

using Vec = std::valarray<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FdSteps, EachVariableMovesByItsOwnSizeToExactlyTheStepsPoints) {
  FpTrapGuard traps;
  for (const double x : {1.0, -3.3, 0.1, 1e-7, 2e-6, 1e6, 1.7e300, 0.0, 1e-200, 0x1p-600}) {
    SCOPED_TRACE(x);
    const double scale = x == 0.0 || std::fabs(x) < 1e-160 ? 1.0 : std::fabs(x);
    EXPECT_EQ(variableScale(x), scale);
    for (const double c : {1e-8, 1e-6}) {
      const double h = coordinateStep(c, x);
      EXPECT_NEAR(h, c * scale, 1e-7 * c * scale);
      if (x != 0.0 && std::fabs(x) != scale) continue;  // below any size: x +- h is +-h
      EXPECT_EQ((x + h) - h, x);
      EXPECT_EQ((x - h) + h, x);
      EXPECT_EQ((x + h) - x, h);
    }
  }
}

TEST(FdSteps, AlongVNoComponentMovesByMoreThanItsShare) {
  FpTrapGuard traps;
  struct Case {
    Vec x, v;
    double t;
  } const cases[] = {
      // The smallest variable limits the step; 2e-15 rounds down to 2^-49.
      {{1.0, -0.1, 1e-7}, {0.5, 0.5, 0.5}, 0x1p-49},
      {{1.0, 1e-7}, {0.5, 0.0}, 0x1p-26},  // v_j = 0 limits nothing
      {{0.0, 0.0}, {0.25, 1.0}, 0x1p-27},  // at the origin the floor 1
      {{3.0}, {0.0}, 1e-8},                // v = 0: any step
  };
  for (const Case& c : cases) {
    EXPECT_EQ(directionalStep(1e-8, c.x, c.v), c.t);
    const StepAlong along = stepAlong(1e-8, c.x, c.v);
    EXPECT_EQ(along.t, c.t);
    for (std::size_t j = 0; j < c.x.size(); ++j) {
      const double move = along.t * along.v[j];
      EXPECT_LE(std::fabs(move), 1e-8 * variableScale(c.x[j]) * (1 + 1e-6)) << j;
      EXPECT_EQ((c.x[j] + move) - move, c.x[j]) << j;
      EXPECT_EQ((c.x[j] - move) + move, c.x[j]) << j;
      // v as stored: off by at most the rounding of x_j + t v_j, over t.
      EXPECT_LE(std::fabs(along.v[j] - c.v[j]),
                DBL_EPSILON * (std::fabs(c.x[j]) / c.t + std::fabs(c.v[j])))
          << j;
    }
  }
  // A move below half an ulp of x_j is no move.
  EXPECT_EQ(representableDirection(Vec{1.0}, Vec{1.0}, 0x1p-60)[0], 0.0);
}

TEST(CentralDifferences, RoundingEstimateAndTheErrorAJudgementReports) {
  FpTrapGuard traps;
  // F(x +- h) = 3 +- 0.5 h with h = 1/4: D = 0.5, rounding K eps 6 / (2h).
  const CentralDifference d = centralDifference(Vec{3.125}, Vec{2.875}, 0.25);
  EXPECT_EQ(d.value[0], 0.5);
  EXPECT_DOUBLE_EQ(d.error[0], kRoundingFactor * DBL_EPSILON * 6.0 / 0.5);

  struct Case {
    const char* what;
    Vec a, D, e;
    double excess, allowance;  // NaN: NaN
  } const cases[] = {
      {"no error: relmaxnorm", {1.0, 2.0}, {1.0, 2.5}, {0, 0}, 0.5 / std::sqrt(1 + 2.5 * 2.5), 0.0},
      {"within the error", {1.0, 2.0}, {1.1, 1.9}, {0.2, 0.2}, 0.0, std::sqrt(0.08 / 5)},
      {"beyond it by 0.1", {1.0}, {1.5}, {0.4}, 0.1 / 1.1, 0.4 / 1.1},
      {"noise in one entry hides no other", {1.0, 0.0}, {1.01, 1e6}, {0.0, 1e7}, 0.01 / 1.01,
       1e7 / 1.01},
      {"no estimate: no excess, no bound", {1.0}, {5.0}, {kInf}, 0.0, kInf},
      {"zero against more than its error", {0.0}, {1e-20}, {1e-21}, 1.0, 1.0 / 9},
      {"both zero: the bound itself", {0.0}, {0.0}, {1e-9}, 0.0, 1e-9},
      {"a NaN", {kNaN}, {1.0}, {0.0}, kNaN, kNaN},
      {"a NaN difference", {1.0}, {kNaN}, {0.0}, kNaN, kNaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Judgement j = judge(c.a, c.D, c.e);
    for (const auto& [got, want] : {std::pair{j.excess, c.excess}, {j.allowance, c.allowance}}) {
      if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got));
      else if (std::isinf(want))
        EXPECT_EQ(got, want);
      else
        EXPECT_NEAR(got, want, 1e-15 * std::fmax(1.0, want));
    }
  }
}

// A ladder of differences of f at x along one variable, the narrow steps
// those of the checks (1e-8 of |x| for first differences, 1e-6 for
// second ones); each set of values counted.
struct ScalarLadder {
  double (*f)(double);
  double x;
  int order;
  std::vector<double> taken = {};

  DifferenceLadder ladder() {
    return DifferenceLadder(order == 1 ? kFirstDifferences : kSecondDifferences,
                            [this](double widen) {
                              taken.push_back(widen);
                              const double h = widen * coordinateStep(order == 1 ? 1e-8 : 1e-6, x);
                              const double plus = f(x + h), minus = f(x - h);
                              if (order == 1) return centralDifference(Vec{plus}, Vec{minus}, h);
                              const double center = f(x);
                              return CentralDifference{
                                  Vec{(plus + minus - 2 * center) / (h * h)},
                                  Vec{kRoundingFactor * DBL_EPSILON *
                                      (std::fabs(plus) + std::fabs(minus) + 2 * std::fabs(center)) /
                                      (h * h)}};
                            });
  }
};

double exponential(double x) { return std::exp(x); }
double cubeOffset1e10(double x) { return 1e10 + x * x * x; }
double quarticOffset1e8(double x) { return 1e8 + x * x * x * x; }
double squareOffset1e16(double x) { return 1e16 + x * x; }
// A value near 1 from terms near 1e8: its rounding, about 1e-8, is far
// beyond K eps |f|.
double cancelled(double x) {
  const double big = 1e8 + x * x;
  return big - 1e8 + 0.5;
}

TEST(DifferenceLadders, JudgedByTheStepRoundingDoesNotSwampAsFarAsTheVerdictNeeds) {
  FpTrapGuard traps;
  struct Case {
    const char* what;
    double (*f)(double);
    double x;
    int order;
    double derivative;   // the right one at x
    double mistake;      // the host's is derivative * mistake
    bool fails;
    std::vector<double> taken;  // the rungs climbed
    bool withinBound = true;    // the reference is within its bound
  } const cases[] = {
      {"right, resolved by the narrow step", exponential, 1.0, 1, std::exp(1.0), 1.0, false, {1}},
      {"1% off there", exponential, 1.0, 1, std::exp(1.0), 1.01, true, {1, 1024, 4096}},
      // f = 1e10 + x^3: the narrow difference's rounding, 2e-5 / 2e-8 = 1e3,
      // would excuse any sign; the wide pair's (about 1) still swamps the
      // tolerance, so the ladder goes on to the step from f's size.
      {"offset 1e10, right", cubeOffset1e10, 1.0, 1, 3.0, 1.0, false,
       {1, 1024, 4096, 0x1p19, 0x1p21}},
      {"offset 1e10, sign flipped", cubeOffset1e10, 1.0, 1, 3.0, -1.0, true,
       {1, 1024, 4096, 0x1p19, 0x1p21}},
      {"offset 1e8, second differences, right", quarticOffset1e8, 1.0, 2, 12.0, 1.0, false,
       {1, 128, 512, 0x1p12, 0x1p14}},
      {"offset 1e8, second differences, 35% off", quarticOffset1e8, 1.0, 2, 12.0, 1.35, true,
       {1, 128, 512, 0x1p12, 0x1p14}},
      // Rounding far beyond the estimate: the gaps it leaves between the
      // rungs widen the bounds, and a right derivative passes, though a
      // reference's bound need not hold.
      {"rounding beyond its estimate, right", cancelled, 1.0, 1, 2.0, 1.0, false,
       {1, 1024, 4096, 0x1p16, 0x1p18}, false},
      // f = 1e16 + x^2: at 2^-7 of x the rounding still exceeds |f'| = 2 a
      // hundred times; no difference resolves a mistake below that.
      {"offset 1e16, sign flipped: no step resolves it", squareOffset1e16, 1.0, 1, 2.0, -1.0,
       false, {1, 1024, 4096, 0x1p19, 0x1p21}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScalarLadder scalar{c.f, c.x, c.order};
    DifferenceLadder ladder = scalar.ladder();
    const Vec a{c.derivative * c.mistake};
    const double tol = c.order == 1 ? 1e-4 : 1e-2;
    const double error =
        judgedError(ladder, tol, [&](const CentralDifference& d) { return judge(a, d); });
    EXPECT_EQ(quietGreater(error, tol), c.fails) << error;
    EXPECT_EQ(scalar.taken, c.taken);
    EXPECT_EQ(ladder.widenings(), c.taken);
    const CentralDifference& reference = ladder.reference();
    if (c.withinBound) {
      EXPECT_LE(std::fabs(reference.value[0] - c.derivative), reference.error[0]);
    }
    // A failure reports what it is off beyond the bound: never 0, and no
    // more than the mistake itself.
    const double off = std::fabs(c.mistake - 1.0) * std::fabs(c.derivative) /
                       std::fmax(std::fabs(a[0]), std::fabs(c.derivative));
    if (c.fails) {
      EXPECT_GT(error, 0.5 * off);
      EXPECT_LE(error, off * (1 + 1e-6));
    }
  }
}

TEST(DifferenceLadders, ClimbTakesTheWidePairThenOneFarPairAtMost) {
  FpTrapGuard traps;
  struct Case {
    double shrink;
    std::vector<double> taken;
  } const cases[] = {
      {1.0, {1, 1024, 4096}},                // the wide pair, whatever the need
      {3.0, {1, 1024, 4096, 0x1p14}},        // K = 4W: only its partner
      {100.0, {1, 1024, 4096, 0x1p17, 0x1p19}},
      {1e300, {1, 1024, 4096, 0x1p19, 0x1p21}},  // at most 2^-7 of x
      {kInf, {1, 1024, 4096, 0x1p19, 0x1p21}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shrink);
    ScalarLadder scalar{exponential, 1.0, 1};
    DifferenceLadder ladder = scalar.ladder();
    EXPECT_TRUE(ladder.climb(c.shrink));
    EXPECT_EQ(ladder.climb(c.shrink), c.taken.size() > 3);
    EXPECT_FALSE(ladder.climb(c.shrink));
    EXPECT_EQ(ladder.widenings(), c.taken);
  }
}

}  // namespace
