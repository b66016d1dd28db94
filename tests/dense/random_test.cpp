#include "dense/random.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

// The generator's step as square-and-multiply computes it: the reference
// every faster form must reproduce exactly.
std::uint64_t powerStep(std::uint64_t x, std::uint64_t m) {
  const std::uint64_t u = (x + 2) % m;
  return u == 0 ? 0 : modular_power(u, m - 2, m);
}

}  // namespace

TEST(InversiveGenerator, KnownStepsAndRange) {
  const std::uint64_t m = inversive_modulus();
  EXPECT_EQ(m, 2147483647u);
  // 1073741824 is the inverse of 2 modulo 2^31 - 1.
  EXPECT_EQ(inversive_step(0, m), 1073741824u);
  EXPECT_EQ(inversive_step(m - 2, m), 0u);  // x + 2 = m has no inverse
  for (std::uint64_t x : {std::uint64_t{1}, std::uint64_t{12345}, m - 1}) {
    const std::uint64_t y = inversive_step(x, m);
    EXPECT_EQ((x + 2) % m * y % m, 1u) << x;
  }
  std::valarray<double> v(3);
  const std::uint64_t last = inversive_fill(v, 0, m);
  EXPECT_EQ(v[0], 1073741824.0 / 2147483647.0);
  EXPECT_EQ(v[1], static_cast<double>(inversive_step(1073741824, m)) / 2147483647.0);
  EXPECT_EQ(v[2], static_cast<double>(last) / 2147483647.0);

  const std::valarray<double> r = randvec(1000);
  ASSERT_EQ(r.size(), 1000u);
  EXPECT_GE(r.min(), 0.0);
  EXPECT_LT(r.max(), 1.0);
  EXPECT_LT(r.min(), r.max());

  EXPECT_EQ(randvec(0).size(), 0u);
  EXPECT_THROW(randvec(-1), std::invalid_argument);
  std::valarray<double> empty;
  randfill(empty);
  EXPECT_EQ(empty.size(), 0u);
  std::valarray<double> w(-1.0, 50);
  randfill(w);
  EXPECT_GE(w.min(), 0.0);
  EXPECT_LT(w.max(), 1.0);
}

TEST(PrngTemplates, LinearAndInvertedSequences) {
  PRNG::LinearPRNG<std::uint64_t> lin(1, 1, 5, 4);
  EXPECT_EQ(*lin, 4u);
  EXPECT_EQ(static_cast<std::uint64_t>(++lin), 0u);
  EXPECT_TRUE(static_cast<bool>(lin));
  ++lin;
  EXPECT_EQ(lin.value(), 1u);
  lin.reset();
  EXPECT_EQ(lin.value(), 4u);
  // The product wraps modulo 2^64 before the reduction.
  PRNG::LinearPRNG<std::uint64_t> wrap(1ull << 63, 0, 7, 2);
  ++wrap;
  EXPECT_EQ(wrap.value(), 0u);

  std::ostringstream os;
  PRNG::LinearPRNG<std::uint64_t>(3, 1, 11, 2, 5, 6).print(os);
  EXPECT_EQ(os.str(), "Linear PRNG: p: 5 k: 6 a: 3 c: 1 m: 11 state: 2");

  // The inverted generator with a = 1, c = 2 is the one behind randvec.
  PRNG::InvertedPRNG<std::uint64_t> inv(1, 2, 2147483647, 0);
  PRNG::InfiniteSequence<std::uint64_t>& seq = inv;
  ++seq;
  EXPECT_EQ(*seq, 1073741824u);
  std::ostringstream is;
  inv.print(is);
  EXPECT_EQ(is.str(), "Inverted PRNG: p: 0 k: 0 a: 1 c: 2 m: 2147483647 state: 1073741824");
  PRNG::InvertedPRNG<std::uint64_t> two(1, 0, 2, 0);
  ++two;
  EXPECT_EQ(two.value(), 1u);
  EXPECT_THROW(PRNG::InvertedPRNG<std::uint64_t>(1, 1, 0, 0), std::invalid_argument);
}

TEST(InversiveGenerator, FastFormsGiveEveryNumberOfThePowerRule) {
  const std::uint64_t m = inversive_modulus();
  // The state whose t-th successor is m - 2 (whose successor is 0): the
  // step x -> 1 / (x + 2) runs backwards as y -> 1 / y - 2.
  auto before = [&](std::uint64_t y, int t) {
    for (int k = 0; k < t; ++k) y = (modular_power(y, m - 2, m) + m - 2) % m;
    return y;
  };
  std::vector<std::uint64_t> starts = {0, 1, m - 2, m - 1};
  for (int t : {1, 255, 256, 257, 511}) starts.push_back(before(m - 2, t));
  std::mt19937_64 gen(17);
  for (int k = 0; k < 4; ++k) starts.push_back(gen() % m);

  for (std::uint64_t s : starts) {
    std::valarray<double> v(60000);
    const std::uint64_t last = inversive_fill(v, s, m);
    std::uint64_t x = s;
    std::size_t mismatches = 0;
    bool zero = false;
    for (std::size_t i = 0; i < v.size(); ++i) {
      x = powerStep(x, m);
      zero = zero || x == 0;
      if (v[i] != static_cast<double>(x) / static_cast<double>(m)) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u) << s;
    EXPECT_EQ(last, x) << s;
    EXPECT_EQ(inversive_step(s, m), powerStep(s, m)) << s;
    if (s == starts[4]) {
      EXPECT_TRUE(zero);  // the zero state really occurs
    }
  }
}
