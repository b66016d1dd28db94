#include "dense/norms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "dense/argsort.h"
#include "support/fp_traps.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

double backwardNorm(const std::valarray<double>& x) {
  double s = 0.0;
  for (std::size_t i = x.size(); i-- > 0;) s += x[i] * x[i];
  return std::sqrt(s);
}

double forwardNorm(const std::valarray<double>& x) {
  double s = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) s += x[i] * x[i];
  return std::sqrt(s);
}

}  // namespace

TEST(Normfro, SumsSquaresFromLastToFirst) {
  EXPECT_EQ(normfro({}), 0.0);
  EXPECT_EQ(normfro({3.0, 4.0}), 5.0);

  // The small squares only survive when they are added before the large one.
  const std::valarray<double> skewed = {1e8, 1, 1, 1, 1};
  ASSERT_NE(backwardNorm(skewed), forwardNorm(skewed));
  EXPECT_EQ(normfro(skewed), backwardNorm(skewed));

  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::valarray<double> x(1001);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = u(gen) * std::pow(10.0, static_cast<double>(i % 13) - 6);
  EXPECT_EQ(normfro(x), backwardNorm(x));
}

TEST(Normfro, NeitherOverflowsNorUnderflowsAndNeverTraps) {
  const FpTrapGuard traps;
  const double inf = std::numeric_limits<double>::infinity();
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::valarray<double> x(257);
  for (double& e : x) e = u(gen);
  const double plain = normfro(x);
  // Ordinary data keeps the plain sums in both orders, bit for bit.
  EXPECT_EQ(normForward(x), forwardNorm(x));
  EXPECT_EQ(plain, backwardNorm(x));
  // Scaled by a power of ten, the norm scales with the vector.
  for (double scale : {1e-200, 1e-300, 1e160, 1e200, 1e300}) {
    const std::valarray<double> y = x * scale;
    EXPECT_NEAR(normfro(y) / scale, plain, 1e-14 * plain) << scale;
    EXPECT_NEAR(normForward(y) / scale, plain, 1e-14 * plain) << scale;
  }
  struct Case {
    std::valarray<double> v;
    double norm;  // NaN: the result must be NaN
  };
  const Case cases[] = {
      {{0.0, -0.0}, 0.0},
      {{std::numeric_limits<double>::max()}, std::numeric_limits<double>::max()},
      {{1.5e308, 1.5e308}, inf},
      {{3e200, 4e200}, 5e200},
      {{3e-200, 4e-200}, 5e-200},
      {{1.0, -inf}, inf},
      {{1e300, kNaN}, kNaN},
      {{kNaN, inf}, kNaN},
      {{1.0, kNaN}, kNaN},
  };
  for (const Case& c : cases) {
    for (double n : {normfro(c.v), normForward(c.v)}) {
      if (std::isnan(c.norm))
        EXPECT_TRUE(std::isnan(n)) << c.v[0];
      else
        EXPECT_DOUBLE_EQ(n, c.norm) << c.v[0];
    }
  }
}

TEST(Relmaxnorm, RelativeToTheLargerNorm) {
  EXPECT_EQ(relmaxnorm({0, 0}, {0, 0}), 0.0);
  EXPECT_EQ(relmaxnorm({1, 0}, {0, 0}), 1.0);
  EXPECT_EQ(relmaxnorm({2, 0}, {1, 0}), 0.5);
  EXPECT_EQ(relmaxnorm({1, 0}, {2, 0}), 0.5);
  EXPECT_EQ(relmaxnorm({3, 0}, {0, 4}), 1.25);
  // b may be longer; only a's length is compared.
  EXPECT_EQ(relmaxnorm({2}, {1, 100}), 1.0 / normfro({1, 100}));
  EXPECT_THROW(relmaxnorm({1, 2}, {1}), std::invalid_argument);

  // NaNs, infinities and huge entries keep their IEEE outcome without a trap.
  const FpTrapGuard traps;
  EXPECT_TRUE(std::isnan(relmaxnorm(std::valarray<double>{1, kNaN}, {1, 0})));
  EXPECT_TRUE(std::isnan(relmaxnorm({1, 0}, std::valarray<double>{kNaN, 0})));
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(relmaxnorm({inf, 0}, {inf, 0})));
  EXPECT_TRUE(std::isnan(relmaxnorm({1, 0}, {-inf, 0})));
  EXPECT_TRUE(std::isnan(relmaxnorm({kNaN}, {kNaN})));
  EXPECT_EQ(relmaxnorm({1e308}, {-1e308}), inf);
  EXPECT_DOUBLE_EQ(relmaxnorm({4e-300, 0}, {0, 3e-300}), 1.25);
}

TEST(Argsort, AscendingWithNaNsLast) {
  const std::valarray<std::size_t> basic = argsort({3, 1, 2});
  ASSERT_EQ(basic.size(), 3u);
  EXPECT_EQ(basic[0], 1u);
  EXPECT_EQ(basic[1], 2u);
  EXPECT_EQ(basic[2], 0u);
  EXPECT_EQ(argsort({}).size(), 0u);

  // Large enough for the sort to leave its insertion-sort base case.
  std::mt19937 gen(9);
  std::uniform_real_distribution<double> u(-5.0, 5.0);
  std::valarray<double> x(300);
  std::size_t nans = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = i % 7 == 3 ? kNaN : u(gen);
    nans += std::isnan(x[i]);
  }
  const std::valarray<std::size_t> idx = argsort(x);
  ASSERT_EQ(idx.size(), x.size());
  std::valarray<bool> seen(false, x.size());
  for (std::size_t k = 0; k < idx.size(); ++k) {
    ASSERT_LT(idx[k], x.size());
    EXPECT_FALSE(seen[idx[k]]);
    seen[idx[k]] = true;
    const bool inTail = k >= x.size() - nans;
    EXPECT_EQ(std::isnan(x[idx[k]]), inTail) << k;
    if (k > 0 && !inTail) {
      EXPECT_LE(x[idx[k - 1]], x[idx[k]]);
    }
  }
}
