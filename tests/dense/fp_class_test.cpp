// Values read by their bits, comparisons and scopes that never trap, and
// BLAS and LAPACK without traps: all run here under the drivers' traps, in
// the optimised build the library ships as.

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <valarray>
#include <vector>

#include "dense/decomposed_general.h"
#include "dense/fp_class.h"
#include "dense/matrix.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "support/fp_traps.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kQuiet = std::numeric_limits<double>::quiet_NaN();
const double kSignalling = std::numeric_limits<double>::signaling_NaN();

double fromBits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t bitsOf(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(FpClass, FromTheBitsAlone) {
  const struct {
    double value;
    FpClass expected;
  } cases[] = {
      {0.0, FpClass::Finite},
      {-0.0, FpClass::Finite},
      {4.9e-324, FpClass::Finite},
      {-DBL_MAX, FpClass::Finite},
      {kInf, FpClass::Infinite},
      {-kInf, FpClass::Infinite},
      {kQuiet, FpClass::QuietNaN},
      {-kQuiet, FpClass::QuietNaN},
      {fromBits(0x7ff8dead0000beefULL), FpClass::QuietNaN},  // a marker with a payload
      {kSignalling, FpClass::SignallingNaN},
      {fromBits(0xfff0000000000001ULL), FpClass::SignallingNaN},
  };
  const FpTrapGuard traps;
  for (const auto& c : cases) {
    EXPECT_EQ(classifyBits(c.value), c.expected) << std::hex << bitsOf(c.value);
    EXPECT_EQ(isNaNBits(c.value), c.expected == FpClass::QuietNaN ||
                                      c.expected == FpClass::SignallingNaN);
  }
}

// A signalling NaN becomes quiet with its sign and payload; everything else
// stays bit for bit, and the block says what it held.
TEST(FpClass, HostBlocksComeOutQuiet) {
  const std::uint64_t signalling = 0xfff0000000001234ULL;
  std::vector<double> block = {1.5, fromBits(signalling), -kInf, fromBits(0x7ff8dead0000beefULL)};
  const std::vector<double> before = block;
  HostValues seen;
  double total = 0.0;
  {
    const FpTrapGuard traps;
    seen = quietHostValues(block.data(), block.size());
    // Loaded into arithmetic now, the block raises nothing.
    for (double v : block) total += v;
  }
  EXPECT_TRUE(std::isnan(total));
  EXPECT_TRUE(seen.nan);
  EXPECT_TRUE(seen.infinite);
  EXPECT_EQ(bitsOf(block[1]), signalling | 0x0008000000000000ULL);
  for (std::size_t i : {0u, 2u, 3u}) EXPECT_EQ(bitsOf(block[i]), bitsOf(before[i]));

  std::vector<double> finite = {0.0, -1e308, 4.9e-324};
  EXPECT_TRUE(quietHostValues(finite.data(), finite.size()).finite());
  EXPECT_TRUE(quietHostValues(nullptr, 0).finite());
}

// The block tests pack several entries to an instruction and finish the
// tail one by one: one odd entry among ordinary ones is found wherever it
// stands, in blocks that fill the packed loop, end in a tail or are all
// tail, and its bits decide alone (the bounds themselves are outside).
// classifyBlock leaves the block as it is; quietHostValues makes the
// signalling NaN quiet and leaves the rest.
TEST(FpClass, BlockTestsSeeEveryEntry) {
  const double belowBound = std::nextafter(0x1p480, 0.0);
  const struct {
    double odd;
    bool finite, productSafe, nan;
  } cases[] = {
      {DBL_MAX, true, false, false},
      {-DBL_MAX, true, false, false},
      {0x1p480, true, false, false},
      {-0x1p480, true, false, false},
      {belowBound, true, true, false},
      {-4.9e-324, true, true, false},
      {kInf, false, false, false},
      {-kInf, false, false, false},
      {kQuiet, false, false, true},
      {-kQuiet, false, false, true},
      {kSignalling, false, false, true},
      {fromBits(0xfff0000000000001ULL), false, false, true},
  };
  const FpTrapGuard traps;
  for (const auto& c : cases)
    for (std::size_t length : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 37u})
      for (std::size_t at = 0; at < length; ++at) {
        std::vector<double> block(length, -1.5);
        block[at] = c.odd;
        const std::vector<double> before = block;
        std::valarray<double> entries(block.data(), length);
        EXPECT_EQ(allFiniteBits(block.data(), length), c.finite) << c.odd << " at " << at;
        EXPECT_EQ(allFiniteBits(entries), c.finite) << c.odd << " at " << at;
        // The pass as any processor runs it (the library may pick a wider one).
        EXPECT_EQ(fp_bits::allBelowPowerOfTwo<1024>(block.data(), length), c.finite);
        EXPECT_EQ(fp_bits::allBelowPowerOfTwo<480>(block.data(), length), c.productSafe);
        EXPECT_EQ(productSafeEntries(std::valarray<double>(-1.0, 3), entries), c.productSafe)
            << c.odd << " at " << at << " of " << length;
        const HostValues classified = classifyBlock(block.data(), length);
        EXPECT_EQ(bitsOf(block[at]), bitsOf(c.odd));
        const HostValues seen = quietHostValues(block.data(), length);
        for (const HostValues& held : {classified, seen}) {
          EXPECT_EQ(held.nan, c.nan) << c.odd << " at " << at << " of " << length;
          EXPECT_EQ(held.infinite, !c.finite && !c.nan) << c.odd << " at " << at;
        }
        EXPECT_NE(classifyBits(block[at]), FpClass::SignallingNaN);
        for (std::size_t i = 0; i < length; ++i)
          EXPECT_TRUE(i == at || bitsOf(block[i]) == bitsOf(before[i])) << i;
      }
  EXPECT_TRUE(allFiniteBits(nullptr, 0));
  EXPECT_TRUE(allFiniteBits(std::valarray<double>()));
  EXPECT_TRUE(productSafeEntries(std::valarray<double>()));
}

// The entries below tol, counted as the eigen filter counts its converged
// vectors.
[[gnu::noinline]] std::size_t countBelow(const std::valarray<double>& values, double tol) {
  std::size_t passing = 0;
  for (std::size_t j = 0; j < values.size(); ++j)
    if (quietGreater(tol, values[j])) ++passing;
  return passing;
}

// The integer keys order every non-NaN value as the IEEE comparisons do;
// NaN compares false, never traps.
TEST(QuietCompare, AgreesWithTheOrderedComparisons) {
  const std::vector<double> values = {-kInf, -DBL_MAX, -1.0, -4.9e-324, -0.0, 0.0,
                                      4.9e-324, DBL_MIN, 1.0, DBL_MAX, kInf};
  for (double a : values)
    for (double b : values) {
      EXPECT_EQ(quietLess(a, b), a < b) << a << " " << b;
      EXPECT_EQ(quietLessEqual(a, b), a <= b) << a << " " << b;
      EXPECT_EQ(quietGreater(a, b), a > b) << a << " " << b;
      EXPECT_EQ(quietGreaterEqual(a, b), a >= b) << a << " " << b;
    }
  // A loop of tests, which g++ vectorises, over data holding NaN.
  std::valarray<double> data(1.0, 64);
  data[7] = kQuiet;
  data[40] = -kQuiet;
  std::size_t below = 0;
  {
    const FpTrapGuard traps;
    below = countBelow(data, 2.0);
    EXPECT_TRUE(std::isnan(quietMaxEntry(data)));
    EXPECT_TRUE(std::isnan(quietMax(1.0, kQuiet)));
  }
  EXPECT_EQ(below, 62u);
}

// The loop shape of the eigen solvers' normalisations: x / ||x|| with a
// zero or NaN ||x||, vectorised at -O3 with the tests on ||x|| hoisted out
// of the loop, gives NaN entries without a trap.
TEST(QuietDivide, InVectorisedLoopsOverAZeroOrNaNLength) {
  for (const double entry : {0.0, kQuiet}) {
    std::valarray<double> x(entry, 37);
    const double len = x.sum();
    {
      const FpTrapGuard traps;
      for (double& e : x) e = quietDivide(e, len);
    }
    for (double e : x) EXPECT_TRUE(std::isnan(e));
  }
}

// What quietly() computes stays inside its scope: a loop-invariant
// overflow (2 * 1e308) and inf - inf give their IEEE values, and the flags
// they raise do not outlive the scope.
TEST(QuietScope, HoldsAgainstTheOptimiser) {
  volatile double hugeSource = 1e308, infSource = kInf;
  const double huge = hugeSource, inf = infSource;
  std::vector<double> sums(16);
  double difference = 0.0;
  {
    const FpTrapGuard traps;
    for (std::size_t i = 0; i < sums.size(); ++i)
      sums[i] = quietly([&] { return static_cast<double>(i) + 2.0 * huge; });
    difference = quietly([&] { return inf - inf; });
    EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT), 0);
  }
  for (double s : sums) EXPECT_EQ(s, kInf);
  EXPECT_TRUE(std::isnan(difference));
}

// BLAS and LAPACK meet overflowing entries without a trap: the product is
// infinite, the decomposition either completes or reports its failure.
TEST(QuietScope, BlasAndLapackRunWithoutTraps) {
  MatrixTemplate<double> a(3, 3);
  a.elements = 1e308;
  std::valarray<double> y;
  int info = -100;
  {
    const FpTrapGuard traps;
    y = matrixVectorProduct(a, std::valarray<double>(2.0, 3));
    const DecomposedGeneralMatrix svd(a, SvdShape::thin);
    info = svd.lapackInfo;
    if (info == 0) {
      for (double s : svd.s) EXPECT_TRUE(std::isfinite(s));
    }
  }
  for (double e : y) EXPECT_EQ(e, kInf);
  EXPECT_TRUE(info == 0 || info == kNonFiniteFactors) << info;
}

}  // namespace
