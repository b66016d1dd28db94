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

using V = std::valarray<double>;
using Verdict = StepEvidence::Verdict;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A trial at distance s from x along the case's unit direction (0: the
// point x itself), with the gradient's predicted change and f there.
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

struct Case {
  const char* what;
  double f, gradientNorm;
  std::vector<Direction> directions;
  ModelDecrease model;
  Verdict verdict;
  bool notFinite = false;
  double noise = 0.0;  // measured by the driver
  V x = {3.0, 4.0};    // the gradient points along -u (or x, see below)
  V u = {0.6, 0.8};    // the trials' direction
  V g = {};            // the gradient when not -gradientNorm u
  StepEvidence::FlatTrials flatTrials = StepEvidence::FlatTrials::All;
};

Verdict judge(const Case& c, const double* curvature = nullptr) {
  StepEvidence evidence;
  evidence.reset(c.f);
  for (const Direction& d : c.directions) {
    evidence.beginDirection();
    for (const Trial& t : d) {
      const V trial = c.x + t.distance * c.u;
      evidence.add(c.x, trial, 1.0, t.predicted, t.value);
    }
  }
  evidence.setModelDecrease(c.model);
  evidence.setNoise(c.noise);
  const V g = c.g.size() ? c.g : V(-c.gradientNorm * c.u);
  return evidence.stationarity(g, c.x, curvature, c.flatTrials);
}

TEST(StepEvidence, StationaryOnlyWhereNothingIsLeftAboveTheNoise) {
  constexpr Verdict yes = Verdict::Stationary, no = Verdict::NotStationary;
  const ModelDecrease none, small{1e-15, false}, partialLarge{1e-6, false}, wholeLarge{1e-6, true},
      negativeCurvature{kInf, true};
  // A direction of norm 8.7e6 that a Jacobian of rank one leaves out: the
  // gradient's rounding predicts 1.45e-7 per unit step, f does not change.
  const Direction nullDirection = flatSweep(146.4, 8.7e6, 1.45e-7);
  const Case cases[] = {
      {"zero gradient, no trial", 1.0, 0.0, {}, none, yes},
      {"no trial", 1.0, 1e-12, {}, none, no},
      // A zero direction, or a step so short that x + t d == x.
      {"trials that leave x where it is", 24.2, 233.0, {{{0.0, -1e10, 24.2}, {1e-200, -1e-200, 24.2}}},
       none, no},
      // Beyond the flat stretch the values rise to second order.
      {"gradient under the noise", 1.0, 1e-8, {along(1.0, -1e-8, 1.0, -1e-8)}, none, yes},
      {"gradient the values show", 1.0, 1e-5, {along(1.0, -1e-5, 1.0, -1e-5)}, none, no},
      // Flat all along a direction of length 1e-9 nearly orthogonal to a
      // gradient of 0.04, which would change f by 4e-11 there.
      {"direction leaving out the gradient", 1.0, 0.04,
       {{{1e-9, -1e-20, 1.0}, {5e-10, -5e-21, 1.0}}}, none, no},
      {"decrease the noise cannot explain", 1.0, 1e-5, {{{1.0, -1e-5, 1.0 - 1e-10}}}, none, no},
      // A gradient of the wrong sign: every trial the search thought
      // downhill rose in proportion to its length.
      {"values rising to first order", 24.2, 233.0, {along(24.2, 233.0, 0.0, -233.0)}, none, no},
      {"one of two directions rising to first order", 1.0, 1e-8,
       {along(1.0, -1e-8, 1.0, -1e-8), along(1.0, 1e-3, 0.0, -1e-3)}, none, no},
      {"a model with nothing left to give", 146.4, 2e-4, {nullDirection}, small, yes},
      // A model of every direction speaks against as well; one that may
      // leave out curvature leaves the flat trials to judge.
      {"flat trials, a whole model promising more", 1.0, 1e-8, {along(1.0, -1e-8, 1.0, -1e-8)},
       wholeLarge, no},
      {"flat trials, a partial model promising more", 1.0, 1e-8,
       {along(1.0, -1e-8, 1.0, -1e-8)}, partialLarge, yes},
      {"negative curvature", 1.0, 1e-8, {along(1.0, -1e-8, 1.0, -1e-8)}, negativeCurvature, no},
      // A fit whose residuals of 4e-14 are each rounded at 1e-16: f's
      // rounding alone calls the noise of its values a rise.
      {"a small-residual fit, f's rounding alone", 1.5e-12, 4.0,
       {{{1e-13, -8e-16, 1.5e-12 + 3e-15}}}, small, no},
      {"the same fit at the noise of its values", 1.5e-12, 4.0,
       {{{1e-13, -8e-16, 1.5e-12 + 3e-15}}}, small, yes, false, 4e-15},
      // Trials as short as a trust region's first radius, at the rounding
      // of x, show nothing any gradient could: no flat stretch of theirs
      // counts, with a model or for a driver whose model they refute.
      {"trials too short for the gradient", 1e6, 1e-3, {{{1e-7, -1e-10, 1e6}, {1e-12, -1e-15, 1e6}}},
       partialLarge, no},
      {"the same, the trials alone", 1e6, 1e-3, {{{1e-7, -1e-10, 1e6}, {1e-12, -1e-15, 1e6}}},
       none, no, false, 0.0, {3.0, 4.0}, {0.6, 0.8}, {}, StepEvidence::FlatTrials::WithinVisibleChange},
      {"a flat stretch inside a visible rise, the trials alone", 1e6, 1e-3,
       {{{1e-2, -1e-5, 1e6 + 1e-6}, {1e-7, -1e-10, 1e6}}}, none, yes, false, 0.0, {3.0, 4.0},
       {0.6, 0.8}, {}, StepEvidence::FlatTrials::WithinVisibleChange},
      // Variables of sizes 1e6 and 1e-3 with no trial that says anything:
      // each is judged on its own scale, which ||g|| ||x|| would not be.
      {"a gradient no move on each variable's own scale shows", 1.0, 0.0, {{{0.0, 0.0, 1.0}}}, none,
       yes, false, 0.0, {1e6, 1e-3}, {0.6, 0.8}, {1e-22, 1e-13}},
      {"the same gradient where a variable is as large as the other", 1.0, 0.0, {{{0.0, 0.0, 1.0}}},
       none, no, false, 0.0, {1e6, 1e6}, {0.6, 0.8}, {1e-22, 1e-13}},
      // At x = 0 the trials' reach is the only scale there is.
      {"at the origin, trials that moved", 1.0, 0.0, {{{1e-3, -1e-30, 1.0 + 1e-16}}}, none, yes,
       false, 0.0, {0.0, 0.0}, {0.6, 0.8}, {1e-14, 1e-14}},
      {"at the origin, no trial", 1.0, 0.0, {}, none, no, false, 0.0, {0.0, 0.0}, {0.6, 0.8},
       {1e-14, 1e-14}},
      {"NaN gradient", 1.0, kNaN, {{{1.0, 0.0, 1.0}}}, small, no},
      {"infinite trial", 1.0, 1e-12, {{{1.0, -1e-24, kInf}}}, none, no, true},
      {"every trial NaN", 1.0, 1e-12, {{{1.0, -1e-24, kNaN}, {0.5, -1e-24, kNaN}}}, none, no, true},
      {"NaN objective", kNaN, 1e-12, {{{1.0, -1e-24, 1.0}}}, small, no, true},
      {"overflowing products", 1.0, 1e-300,
       {{{1e300, -kInf, 1.0}, {1e200, -1e300, 1e300}, {1e250, -1e300, 1e301}}}, none, no},
  };
  FpTrapGuard traps;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(judge(c), c.verdict);
    StepEvidence evidence;
    evidence.reset(c.f);
    for (const Direction& d : c.directions)
      for (const Trial& t : d) evidence.add(c.x, c.x + t.distance * c.u, 1.0, t.predicted, t.value);
    EXPECT_EQ(evidence.objectiveNotFinite(), c.notFinite);
  }
}

// A flat trial says nothing about a variable it did not move: Powell's
// badly scaled function near (7.6e-6, 13.1), where the search moved x1
// only and f still falls along the valley through x2, and a fit whose
// parameter of size 1e6 no trial moves, at its minimum. What moving the
// unmoved variables alone promises, by the curvature along them, decides.
TEST(StepEvidence, AVariableNoFlatTrialMovedIsJudgedByWhatMovingItCanGain) {
  const double rho = 4.0 * 2.2e-20;  // the noise the driver measured, 4 times
  Case powell{"valley", 1.1e-8, 0.0, {{{1e-15, -1e-21, 1.1e-8}, {1e-12, 1e-18, 1.1e-8 + 1e-17}}},
              {}, Verdict::Stationary, false, rho / 4.0, {7.6e-6, 13.1}, {1.0, 0.0},
              {7.1e-6, 3.2e-10}};
  FpTrapGuard traps;
  EXPECT_EQ(judge(powell), Verdict::UnlessUnmovedVariables);
  StepEvidence evidence;
  evidence.reset(powell.f);
  for (const Trial& t : powell.directions[0])
    evidence.add(powell.x, powell.x + t.distance * powell.u, 1.0, t.predicted, t.value);
  const V u = evidence.unmovedDirection(powell.g, powell.x);
  EXPECT_EQ(u[0], 0.0);
  EXPECT_DOUBLE_EQ(u[1], -3.2e-10 * 13.1 * 13.1);
  // (g.u)^2 / 2 u.H u with the valley's H_22 = 0.0117: 4.4e-18, far above
  // the noise; the same slope against a curvature a million times larger
  // promises nothing.
  const double slope = 3.2e-10 * u[1], valley = 0.0117 * u[1] * u[1];
  const double steep = 1e6 * valley, unknown = kNaN, negative = -valley;
  EXPECT_GT(slope * slope / (2.0 * valley), 2.0 * rho);
  EXPECT_EQ(judge(powell, &valley), Verdict::NotStationary);
  EXPECT_EQ(judge(powell, &steep), Verdict::Stationary);
  EXPECT_EQ(judge(powell, &unknown), Verdict::NotStationary);
  EXPECT_EQ(judge(powell, &negative), Verdict::NotStationary);
  // The driver whose model the trials refute has no curvature to ask.
  powell.flatTrials = StepEvidence::FlatTrials::WithinVisibleChange;
  EXPECT_NE(judge(powell), Verdict::Stationary);
}

TEST(StepEvidence, ADecreaseCountsOnlyAboveTheNoise) {
  struct Row {
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
  const V x = {3.0, 4.0}, u = {0.6, 0.8};
  for (const Row& c : cases) {
    SCOPED_TRACE(c.what);
    StepEvidence evidence;
    evidence.reset(1.0);
    for (const Trial& t : c.trials) evidence.add(x, x + t.distance * u, 1.0, t.predicted, t.value);
    EXPECT_EQ(evidence.showsDecrease(c.enhancement), c.decrease);
  }
}

TEST(StepEvidence, DistanceOfTheStoredPoints) {
  struct Row {
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
  for (const Row& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(StepEvidence::distance(c.x, c.xt), c.distance);
  }
}

}  // namespace
