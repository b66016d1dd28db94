// The stationarity judgement of an iteration that did not move, from the
// trial steps it made, with the traps on.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "driver/step_evidence.h"
#include "support/fp_traps.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Trial {
  double step, directionNorm, slope, value;
};

// A backtracking search along -g in one variable from f = 1 (g > 0): the
// values 1 - a g^2 + a^2 g^2 / 2 of a unit curvature, rounded as a host
// would round them.
std::vector<Trial> alongMinusGradient(double g) {
  std::vector<Trial> trials;
  for (double a = 1.0; a > 1e-20; a /= 2.1)
    trials.push_back({a, g, -g * g, 1.0 - a * g * g + 0.5 * a * a * g * g});
  return trials;
}

TEST(StepEvidence, StationaryOnlyWhereTheRoundingHidesTheGradient) {
  struct Case {
    const char* what;
    double f, gradientNorm;
    std::vector<Trial> trials;
    bool stationary, notFinite = false;
  } const cases[] = {
      {"zero gradient, no trial", 1.0, 0.0, {}, true},
      {"no trial", 1.0, 1e-12, {}, false},
      {"gradient under the rounding", 1.0, 1e-8, alongMinusGradient(1e-8), true},
      {"gradient the values show", 1.0, 1e-5, alongMinusGradient(1e-5), false},
      // A direction of length 1e-9 nearly orthogonal to a gradient of 0.04:
      // flat all along, but the gradient would change f by 4e-11 there.
      {"direction leaving out the gradient", 1.0, 0.04,
       {{1.0, 1e-9, -1e-20, 1.0}, {0.5, 1e-9, -1e-20, 1.0}}, false},
      // A gradient that overstates the slope 1e5 times: too small a
      // decrease for the search, but far above the rounding.
      {"decrease the rounding cannot explain", 1.0, 1e-5, {{1.0, 1.0, -1e-5, 1.0 - 1e-10}}, false},
      {"no flat trial", 1.0, 1.0, {{1.0, 1.0, -1.0, 2.0}, {0.5, 1.0, -1.0, 1.5}}, false},
      // A fixed step along a zero direction evaluates x itself.
      {"only a trial of length 0", 1.0, 1.0, {{1e300, 0.0, 0.0, 1.0}}, false},
      // f = 1e-5 computed from terms of order 1 varies by 1e-17 between
      // neighbouring points (a step whose predicted change is 1e-24 shows
      // it); the flat stretch of 1e-9 then hides a gradient of 1e-9.
      {"the host's rounding, measured", 1e-5, 1e-9,
       {{1e-6, 1.0, -1e-18, 1e-5 + 1e-17}, {1.0, 1e-9, -1e-18, 1e-5 + 5e-18}}, true},
      {"the same without the measure", 1e-5, 1e-9, {{1.0, 1e-9, -1e-18, 1e-5 + 5e-18}}, false},
      {"NaN gradient", 1.0, kNaN, {{1.0, 1.0, 0.0, 1.0}}, false},
      {"infinite trial", 1.0, 1e-12, {{1.0, 1.0, -1e-24, INFINITY}}, false, true},
      {"every trial NaN", 1.0, 1e-12, {{1.0, 1.0, -1e-24, kNaN}, {0.5, 1.0, -1e-24, kNaN}}, false,
       true},
      {"NaN objective", kNaN, 1e-12, {{1.0, 1.0, -1e-24, 1.0}}, false, true},
      {"overflowing products", 1.0, 1e-300, {{1e300, 1e300, -1e300, 1.0}}, false},
  };
  FpTrapGuard traps;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StepEvidence evidence;
    evidence.reset(c.f);
    for (const Trial& t : c.trials) evidence.add(t.step, t.directionNorm, t.slope, t.value);
    EXPECT_EQ(evidence.showsStationary(c.gradientNorm), c.stationary);
    EXPECT_EQ(evidence.objectiveNotFinite(), c.notFinite);
  }
}

}  // namespace
