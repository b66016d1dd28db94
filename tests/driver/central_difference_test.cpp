// The derivative checks' steps and the error they measure: steps scaled to
// each variable that reach exactly the points they divide by, and the
// excess of a derivative's distance from a difference over the
// difference's own error.

#include "driver/central_difference.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <valarray>

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

TEST(CentralDifferences, ErrorEstimatesAndTheExcessTheChecksReport) {
  FpTrapGuard traps;
  // F(x +- h) = 3 +- 0.5 h with h = 1/4: D = 0.5, rounding K eps 6 / (2h).
  const CentralDifference d = centralDifference(Vec{3.125}, Vec{2.875}, 0.25);
  EXPECT_EQ(d.value[0], 0.5);
  EXPECT_DOUBLE_EQ(d.error[0], kRoundingFactor * DBL_EPSILON * 6.0 / 0.5);
  CentralDifference wide = d;
  addTruncation(wide, Vec{0.75});
  EXPECT_DOUBLE_EQ(wide.error[0], d.error[0] + 0.25);
  EXPECT_TRUE(wide.truncated);
  CentralDifference notFinite = d;  // a wide difference that failed tells nothing
  addTruncation(notFinite, Vec{kNaN});
  EXPECT_EQ(notFinite.error[0], d.error[0]);

  struct Case {
    const char* what;
    Vec a, D, e;
    double excess;  // NaN: NaN
  } const cases[] = {
      {"no error: relmaxnorm", {1.0, 2.0}, {1.0, 2.5}, {0, 0}, 0.5 / std::sqrt(1 + 2.5 * 2.5)},
      {"within the error", {1.0, 2.0}, {1.1, 1.9}, {0.2, 0.2}, 0.0},
      {"beyond it by 0.1", {1.0}, {1.5}, {0.4}, 0.1 / 1.1},
      {"noise in one entry hides no other", {1.0, 0.0}, {1.01, 1e6}, {0.0, 1e7}, 0.01 / 1.01},
      {"no estimate: no excess", {1.0}, {5.0}, {kInf}, 0.0},
      {"zero against more than its error", {0.0}, {1e-20}, {1e-21}, 1.0},
      {"a NaN", {kNaN}, {1.0}, {0.0}, kNaN},
      {"a NaN difference", {1.0}, {kNaN}, {0.0}, kNaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const double excess = excessError(c.a, c.D, c.e);
    if (std::isnan(c.excess))
      EXPECT_TRUE(std::isnan(excess));
    else
      EXPECT_NEAR(excess, c.excess, 1e-15);
  }

  // The truncation estimate is made only when the rounding leaves more
  // than the tolerance.
  int made = 0;
  double reported = 1.0;
  EXPECT_EQ(checkedError(
                0.5, [&] { return reported; },
                [&] {
                  ++made;
                  reported = 0.2;
                }),
            0.2);
  EXPECT_EQ(checkedError(
                0.5, [&] { return reported; }, [&] { ++made; }),
            0.2);
  EXPECT_EQ(made, 1);
}

}  // namespace
