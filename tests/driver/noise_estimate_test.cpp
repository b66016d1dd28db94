// The noise of computed values from their difference table, on tables of
// known noise and on functions rounded as hosts round them, with the
// traps on.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <valarray>
#include <vector>

#include "driver/noise_estimate.h"
#include "support/fp_traps.h"

namespace {

using V = std::valarray<double>;
using Verdict = NoiseLevel::Verdict;

// Uniform numbers in [-1, 1), the same on every machine.
double uniform(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
}

TEST(NoiseEstimate, TheDifferenceTableNamesItsSpacing) {
  struct Row {
    const char* what;
    double (*value)(double s, double noise);
    NoiseScale scale;
    Verdict verdict;
  } const rows[] = {
      {"a smooth part far above the noise",
       [](double s, double e) { return 2.0 + 1e-3 * s + 1e-5 * s * s + e; }, NoiseScale::Fixed,
       Verdict::Measured},
      {"the same value everywhere", [](double, double) { return 2.0; }, NoiseScale::Fixed,
       Verdict::Constant},
      {"values on a grid far coarser than their change",
       [](double s, double) { return std::floor(s / 4.0); }, NoiseScale::Fixed,
       Verdict::SpacingTooSmall},
      {"noise alone, nothing smooth to measure it against",
       [](double, double e) { return 1.0 + e; }, NoiseScale::Fixed, Verdict::SpacingTooSmall},
      {"a smooth part that no order of difference leaves",
       [](double s, double) { return std::exp(3.0 * s); }, NoiseScale::Fixed,
       Verdict::SpacingTooLarge},
      {"values that differ in their first digit, where noise grows with them",
       [](double s, double e) { return 1e-3 + s * s + e; }, NoiseScale::WithValue,
       Verdict::SpacingTooLarge},
      {"the same values, noise that does not", [](double s, double e) { return 1e-3 + s * s + e; },
       NoiseScale::Fixed, Verdict::Measured},
      {"a value that is not finite",
       [](double s, double) { return s == 1.0 ? std::numeric_limits<double>::infinity() : s; },
       NoiseScale::Fixed, Verdict::SpacingTooLarge},
  };
  constexpr double sigma = 1e-9;  // of the uniform noise below: its range over sqrt 3
  FpTrapGuard traps;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::uint64_t state = 7;
    std::vector<double> values;
    for (int s = -3; s <= 3; ++s)
      values.push_back(r.value(s, std::sqrt(3.0) * sigma * uniform(state)));
    const NoiseLevel level = noiseOfValues(values.data(), values.size(), 1, r.scale);
    EXPECT_EQ(level.verdict, r.verdict);
    if (level.verdict == Verdict::Measured) {
      EXPECT_GT(level.level, sigma / 3.0);
      EXPECT_LT(level.level, 3.0 * sigma);
    }
  }
}

// r_i = b0 + s_i(x) - y_i with b0 = 1e4: each residual is rounded on the
// grid of its large part (2^-39, some 1.8e-12), whatever its small part.
// A probe that moves x by a few units in its last place moves the small
// part by far less than one unit of that grid and sees no noise; the
// measurement sees the grid's own spread, about 2^-39 / sqrt 12, and
// nothing in a residual that does not change at all.
TEST(NoiseEstimate, AResidualRoundedOnTheGridOfItsLargePart) {
  const auto residuals = [](const V& x, V& r) {
    r.resize(3);
    const double b0 = 1e4 + x[0];
    r[0] = (b0 + 0.3 * std::exp(-x[1])) - (1e4 + 0.3);
    r[1] = (b0 + 0.7 * std::exp(-2.0 * x[1])) - (1e4 + 0.7);
    r[2] = 5.0;
    return true;
  };
  const V x = {1e-9, 1e-9};
  V r;
  residuals(x, r);
  FpTrapGuard traps;
  const MeasuredNoise noise = measureNoise(x, r, NoiseScale::Fixed, residuals);
  const double grid = std::ldexp(1.0, -39) / std::sqrt(12.0);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(noise.measured[i]) << i;
    EXPECT_GT(noise.level[i], grid / 4.0) << i;
    EXPECT_LT(noise.level[i], 4.0 * grid) << i;
  }
  EXPECT_TRUE(noise.measured[2]);
  EXPECT_EQ(noise.level[2], 0.0);
  EXPECT_GT(noise.evaluations, 0);
  EXPECT_LE(noise.evaluations, 30);
  // A host that fails at the first point ends the measurement there.
  const MeasuredNoise failed =
      measureNoise(x, r, NoiseScale::Fixed, [](const V&, V&) { return false; });
  EXPECT_EQ(failed.evaluations, 1);
  EXPECT_FALSE(failed.anyMeasured());
}

}  // namespace
