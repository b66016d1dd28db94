// The stationarity judgement of an iteration that made no progress, from
// the trial steps it made and the local model it had, with the traps on.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <valarray>
#include <vector>

#include "driver/step_evidence.h"
#include "support/fp_traps.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Trial {
  double distance, predicted, value;
};
using Direction = std::vector<Trial>;

// Steps s = 1, 1/2.1, 1/2.1^2, ... down to 1e-30 from x along a unit
// direction, f(x + s u) = f + slope s + curvature s^2 / 2 as a host would
// round it, the gradient predicting `predictedSlope` s.
Direction along(double f, double slope, double curvature, double predictedSlope) {
  Direction trials;
  for (double s = 1.0; s > 1e-30; s /= 2.1)
    trials.push_back({s, predictedSlope * s, f + slope * s + 0.5 * curvature * s * s});
  return trials;
}

// Flat values (within +-1e-12) along a direction of norm `norm` whose unit
// step the gradient predicts to lower f by `predicted`, at the step
// lengths 1 down to 1e-12 of a least-squares sweep.
Direction flatSweep(double f, double norm, double predicted) {
  Direction trials;
  int k = 0;
  for (double a = 1.0; a > 1e-12; a /= 1.8, ++k)
    trials.push_back({a * norm, -a * predicted, f + 1e-12 * (k % 3 - 1)});
  return trials;
}

TEST(StepEvidence, StationaryOnlyWhereNothingIsLeftAboveTheRounding) {
  // A Newton direction of norm 6.4e-8 at a least-squares minimum of f = 10.4
  // with ||g|| = 0.274 (a parameter a million times more sensitive than the
  // other): the direction lies far from -g and the flat trials cannot hide
  // the gradient, but its model has nothing left to give.
  const Direction illConditioned = flatSweep(10.4, 6.4e-8, 5.2e-15);
  // A direction of norm 8.7e6 that a Jacobian of rank one leaves out: the
  // gradient's rounding predicts 1.45e-7 per unit step, f does not change.
  const Direction nullDirection = flatSweep(146.4, 8.7e6, 1.45e-7);
  const ModelDecrease none, gaussNewton{1e-15, false}, partialLarge{1e-6, false},
      wholeLarge{1e-6, true}, negativeCurvature{kInf, true};
  struct Case {
    const char* what;
    double f, gradientNorm;
    std::vector<Direction> directions;
    ModelDecrease model;
    bool stationary, notFinite = false;
    double noise = 0.0;  // measured by the driver
  } const cases[] = {
      {"zero gradient, no trial", 1.0, 0.0, {}, none, true},
      {"no trial", 1.0, 1e-12, {}, none, false},
      // A zero direction, or a step so short that x + t d == x.
      {"trials that leave x where it is", 24.2, 233.0, {{{0.0, -1e10, 24.2}, {0.0, -1e-200, 24.2}}},
       none, false},
      // Beyond the flat stretch the values rise to second order.
      {"gradient under the rounding", 1.0, 1e-8, {along(1.0, -1e-8, 1.0, -1e-8)}, none, true},
      {"gradient the values show", 1.0, 1e-5, {along(1.0, -1e-5, 1.0, -1e-5)}, none, false},
      // Flat all along a direction of length 1e-9 nearly orthogonal to a
      // gradient of 0.04, which would change f by 4e-11 there.
      {"direction leaving out the gradient", 1.0, 0.04,
       {{{1e-9, -1e-20, 1.0}, {5e-10, -5e-21, 1.0}}}, none, false},
      {"decrease the rounding cannot explain", 1.0, 1e-5, {{{1.0, -1e-5, 1.0 - 1e-10}}}, none,
       false},
      // A gradient of the wrong sign: every trial the search thought
      // downhill rose in proportion to its length. Its flattest trials
      // alone would pass the gradient for rounding.
      {"values rising to first order", 24.2, 233.0, {along(24.2, 233.0, 0.0, -233.0)}, none, false},
      {"one of two directions rising to first order", 1.0, 1e-8,
       {along(1.0, -1e-8, 1.0, -1e-8), along(1.0, 1e-3, 0.0, -1e-3)}, none, false},
      {"ill-conditioned minimum without a model", 10.4, 0.274, {illConditioned}, none, false},
      {"ill-conditioned minimum, Gauss-Newton model", 10.4, 0.274, {illConditioned}, gaussNewton,
       true},
      {"ill-conditioned minimum, a model promising more", 10.4, 0.274, {illConditioned},
       partialLarge, false},
      {"flat where the gradient's rounding is steep", 146.4, 2e-4, {nullDirection}, gaussNewton,
       true},
      // A model of every direction speaks against as well; one that may
      // leave out curvature leaves the flat trials to judge.
      {"flat trials, a whole model promising more", 1.0, 1e-8, {along(1.0, -1e-8, 1.0, -1e-8)},
       wholeLarge, false},
      {"flat trials, a partial model promising more", 1.0, 1e-8,
       {along(1.0, -1e-8, 1.0, -1e-8)}, partialLarge, true},
      {"negative curvature", 1.0, 1e-8, {along(1.0, -1e-8, 1.0, -1e-8)}, negativeCurvature,
       false},
      // f = 1e-5 computed from terms of order 1 varies by 1e-17 between
      // neighbouring points (a step whose predicted change is 1e-24 shows
      // it); the flat stretch of 1e-6 then hides a gradient of 1e-9.
      {"the host's rounding, measured", 1e-5, 1e-9,
       {{{1e-6, -1e-24, 1e-5 + 1e-17}, {1e-9, -1e-18, 1e-5 + 5e-18}}}, none, true},
      {"the same without the measure", 1e-5, 1e-9, {{{1e-9, -1e-18, 1e-5 + 5e-18}}}, none, false},
      // f = 1e6 from a constant part: trials as short as a trust region's
      // first radius show nothing any gradient could, and the model's
      // promise of some 11 rho stays untested.
      {"trials too short for the gradient, an untested model", 1e6, 1e-3,
       {{{1e-7, -1e-10, 1e6}}, {{1e-12, -1e-15, 1e6}}}, {1e-8, false}, false},
      {"the same model, a trial that says something", 1e6, 1e-3, {{{1e-3, -1e-6, 1e6}}},
       {1e-8, false}, true},
      // A fit whose residuals of 4e-14 are each rounded at 1e-16: f's
      // rounding alone calls the noise of its values a rise.
      {"a small-residual fit, f's rounding alone", 1.5e-12, 4.0,
       {{{1e-13, -8e-16, 1.5e-12 + 3e-15}}}, {4e-16, false}, false},
      {"the same fit at the noise of its residuals", 1.5e-12, 4.0,
       {{{1e-13, -8e-16, 1.5e-12 + 3e-15}}}, {4e-16, false}, true, false, 4e-15},
      {"a gradient no move on the scale of x shows", 1.0, 1e-17, {{{0.0, 0.0, 1.0}}}, none, true},
      {"NaN gradient", 1.0, kNaN, {{{1.0, 0.0, 1.0}}}, gaussNewton, false},
      {"infinite trial", 1.0, 1e-12, {{{1.0, -1e-24, kInf}}}, none, false, true},
      {"every trial NaN", 1.0, 1e-12, {{{1.0, -1e-24, kNaN}, {0.5, -1e-24, kNaN}}}, none, false,
       true},
      {"NaN objective", kNaN, 1e-12, {{{1.0, -1e-24, 1.0}}}, gaussNewton, false, true},
      {"overflowing products", 1.0, 1e-300,
       {{{1e300, -kInf, 1.0}, {1e200, -1e300, 1e300}, {1e250, -1e300, 1e301}}}, none, false},
  };
  FpTrapGuard traps;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StepEvidence evidence;
    evidence.reset(c.f);
    for (const Direction& d : c.directions) {
      evidence.beginDirection();
      for (const Trial& t : d) evidence.add(t.distance, t.predicted, t.value);
    }
    evidence.setModelDecrease(c.model);
    evidence.setNoise(c.noise);
    EXPECT_EQ(evidence.showsStationary(c.gradientNorm, 1.0), c.stationary);
    EXPECT_EQ(evidence.objectiveNotFinite(), c.notFinite);
  }
}

TEST(StepEvidence, ADecreaseCountsOnlyAboveTheRounding) {
  struct Case {
    const char* what;
    Direction trials;
    double enhancement;
    bool decrease;
  } const cases[] = {
      {"below the floor of 4 eps |f|, doubled", {}, 1.5e-15, false},
      {"above it", {}, 1e-12, true},
      {"NaN", {}, kNaN, false},
      {"below the measured rounding, doubled", {{1e-3, -1e-17, 1.0 + 1e-12}}, 1.5e-12, false},
      {"above it", {{1e-3, -1e-17, 1.0 + 1e-12}}, 3e-12, true},
      // A trial that did not move x measures nothing.
      {"a trial in place", {{0.0, -1e-17, 1.0 + 1e-12}}, 3e-15, true},
  };
  FpTrapGuard traps;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StepEvidence evidence;
    evidence.reset(1.0);
    for (const Trial& t : c.trials) evidence.add(t.distance, t.predicted, t.value);
    EXPECT_EQ(evidence.showsDecrease(c.enhancement), c.decrease);
  }
}

TEST(StepEvidence, DistanceOfTheStoredPoints) {
  using V = std::valarray<double>;
  struct Case {
    const char* what;
    V x, xt;
    double distance;
  } const cases[] = {
      {"the same point", {1.0, 2.0}, {1.0, 2.0}, 0.0},
      {"a step lost in the rounding", {1.0, 2.0}, {1.0 + 1e-20, 2.0}, 0.0},
      {"a step", {1.0, 2.0}, {4.0, -2.0}, 5.0},
      {"an infinite point", {1.0, 2.0}, {kInf, 2.0}, kInf},
      {"lengths that differ", {1.0, 2.0}, {1.0}, kInf},
  };
  FpTrapGuard traps;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(StepEvidence::distance(c.x, c.xt), c.distance);
  }
}

}  // namespace
