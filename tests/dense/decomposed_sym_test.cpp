#include "dense/decomposed_sym.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

#include "decomp_test_util.h"
#include "support/fp_traps.h"

using namespace decomp_test;

namespace {

// The second-difference matrix tridiag(-1, 2, -1) of order n, minus shift * I.
Matrix secondDifference(std::size_t n, double shift) {
  Matrix t(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    t(i, i) = 2.0 - shift;
    if (i + 1 < n) t(i, i + 1) = t(i + 1, i) = -1.0;
  }
  return t;
}

std::valarray<double> signedValues(const DecomposedGeneralMatrix& d) { return d.s * d.sign; }

Matrix reassemble(const DecomposedGeneralMatrix& d) {
  Matrix r(d.U.rows, d.VT.cols);
  for (std::size_t i = 0; i < r.rows; ++i)
    for (std::size_t j = 0; j < r.cols; ++j)
      for (std::size_t l = 0; l < d.s.size(); ++l) r(i, j) += d.U(i, l) * d.s[l] * d.VT(l, j);
  return r;
}

}  // namespace

TEST(SymEigen, StorageOfAnIndefiniteDiagonal) {
  FpTrapGuard traps;
  const Matrix a = diagonal({-2.0, 3.0});
  const DecomposedSymMatrix_syevd d(a);
  EXPECT_EQ(d.lapackInfo, 0);
  EXPECT_TRUE(d.symmetric);
  EXPECT_TRUE(d.thin);
  expectVectorNear(d.s, {2.0, 3.0}, 0.0);
  expectVectorNear(d.sign, {-1.0, 1.0}, 0.0);
  EXPECT_EQ(std::fabs(d.U(0, 0)), 1.0);
  EXPECT_EQ(std::fabs(d.U(1, 1)), 1.0);
  for (std::size_t j = 0; j < 2; ++j)
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(d.VT(j, i), d.sign[j] * d.U(i, j));
  expectMatrixNear(reassemble(d), a, 0.0);

  // A zero eigenvalue counts as negative.
  const DecomposedSymMatrix_syevd z(diagonal({0.0, 2.0}));
  expectVectorNear(z.s, {0.0, 2.0}, 0.0);
  expectVectorNear(z.sign, {-1.0, 1.0}, 0.0);
}

TEST(SymEigen, SecondDifferenceMatrix) {
  constexpr std::size_t n = 8;
  FpTrapGuard traps;
  for (double shift : {0.0, 1.0}) {
    const Matrix a = secondDifference(n, shift);
    const DecomposedSymMatrix_syevd d(a);
    ASSERT_EQ(d.s.size(), n);
    std::valarray<double> want(n);
    for (std::size_t k = 1; k <= n; ++k)
      want[k - 1] = 2.0 - 2.0 * std::cos(static_cast<double>(k) * std::numbers::pi / (n + 1)) - shift;
    expectVectorNear(signedValues(d), want, 1e-14);
    expectMatrixNear(reassemble(d), a, 1e-14);
    // A U = U diag(lambda) column by column.
    const Matrix au = naiveProduct(a, d.U);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(au(i, j), d.U(i, j) * want[j], 1e-14);
  }
}

TEST(SymEigen, CutIsRelativeToTheLargestMagnitude) {
  std::valarray<double> plain, clear, cap, small, inverse3;
  unsigned r1 = 9, r2 = 9, r3 = 9, r4 = 9;
  DecompInfo info;
  Matrix inverse;
  {
    FpTrapGuard traps;
    testing::internal::CaptureStderr();
    // lambda = 0 and 2: the zero is never inverted, whatever the mode.
    const DecomposedSymMatrix_syevd z(diagonal({0.0, 2.0}));
    plain = z.idiag(1e-10, r1, false, false);
    clear = z.idiag(1e-10, r2, true, false);
    cap = z.idiag(1e-10, r3, false, true);

    // The smallest |lambda| comes first here; the cut must still be taken
    // against the largest one.
    const DecomposedSymMatrix_syevd s(diagonal({1e-3, 10.0}));
    small = s.idiag(1e-2, r4, true, false);

    const DecomposedSymMatrix_syevd m(diagonal({-1.0, 0.0, 5.0}));
    info = m.info(1e-10);
    inverse = m.resol(1e-10);
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(r1, 1u);
  expectVectorNear(plain, {0.0, 0.5}, 0.0);
  EXPECT_EQ(r2, 1u);
  expectVectorNear(clear, {0.0, 0.5}, 0.0);
  EXPECT_EQ(r3, 1u);
  EXPECT_DOUBLE_EQ(cap[0], 1.0 / 2e-10);
  EXPECT_EQ(r4, 1u);
  expectVectorNear(small, {0.0, 0.1}, 0.0);

  EXPECT_EQ(info.rank, 2u);
  EXPECT_EQ(info.maxnzs, 5.0);
  EXPECT_EQ(info.minnzs, 1.0);
  EXPECT_EQ(info.nzcond, 5.0);
  expectMatrixNear(inverse, diagonal({-1.0, 0.0, 0.2}), 1e-16);
}

TEST(SymEigen, ErrorMeasures) {
  const Matrix a = secondDifference(6, 1.0);
  const DecomposedSymMatrix_syevd off(a, DecompChecks::off);
  EXPECT_EQ(off.relErrDecomp, 0.0);
  EXPECT_EQ(off.relErrRecon, 0.0);

  FpTrapGuard traps;
  const DecomposedSymMatrix_syevd on(a, DecompChecks::on);
  EXPECT_LT(on.relErrDecomp, 1e-14);
  EXPECT_LT(on.relErrRecon, 1e-14);
  EXPECT_LT(on.relErrUnitary, 1e-14);
  EXPECT_GT(on.relErrDecomp + on.relErrRecon, 0.0);
}

TEST(GeneralisedEigen, DiagonalRightHandSide) {
  FpTrapGuard traps;
  // det(A - lambda B) = 2 lambda^2 - 6 lambda + 3.
  const Matrix a = fromRows({{2.0, 1.0}, {1.0, 2.0}});
  const Matrix b = diagonal({1.0, 2.0});
  const DecomposedSymMatrixB_sygvd d(a, b, DecompChecks::on);
  EXPECT_EQ(d.lapackInfo, 0);
  EXPECT_TRUE(d.symmetric);
  expectVectorNear(d.s, {1.5 - std::sqrt(0.75), 1.5 + std::sqrt(0.75)}, 1e-15);
  expectMatrixNear(d.B, b, 0.0);
  // A X = B X diag(lambda) and X^T B X = I.
  const Matrix ax = naiveProduct(a, d.U), bx = naiveProduct(b, d.U);
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(ax(i, j), bx(i, j) * d.s[j], 1e-15);
  expectMatrixNear(Matrix(transposed(d.U) * bx), eye(2, 2), 1e-15);
  EXPECT_LT(d.unitaryError(), 1e-15);

  // A longer problem: B = 2 I halves the second-difference eigenvalues.
  constexpr std::size_t n = 7;
  const Matrix t = secondDifference(n, 0.0);
  Matrix twice = eye(n, n);
  twice.elements *= 2.0;
  const DecomposedSymMatrixB_sygvd g(t, twice, DecompChecks::on);
  for (std::size_t k = 1; k <= n; ++k)
    EXPECT_NEAR(g.s[k - 1], 1.0 - std::cos(static_cast<double>(k) * std::numbers::pi / (n + 1)),
                1e-14);
  EXPECT_LT(g.relErrUnitary, 1e-14);

  // With B = I the values come out signed, unlike the plain decomposition.
  const DecomposedSymMatrixB_sygvd id(diagonal({-2.0, 3.0}), eye(2, 2), DecompChecks::on);
  expectVectorNear(id.s, {-2.0, 3.0}, 0.0);
  EXPECT_LT(id.unitaryError(), 1e-15);
}

TEST(GeneralisedEigen, FailuresKeepTheirCode) {
  testing::internal::CaptureStderr();
  int info = 0;
  {
    FpTrapGuard traps;
    const DecomposedSymMatrixB_sygvd d(eye(2, 2), diagonal({1.0, -1.0}));
    info = d.lapackInfo;
  }
  const std::string text = testing::internal::GetCapturedStderr();
  // n + 2: the leading minor of order 2 of B is not positive definite.
  EXPECT_EQ(info, 4);
  EXPECT_EQ(text, "decomp failed: 4\n");

  // A NaN in the triangle the eigen solver reads makes it fail; its own code
  // is reported, never 0.
  Matrix bad = diagonal({1.0, 2.0});
  bad(0, 1) = std::nan("");
  testing::internal::CaptureStderr();
  {
    FpTrapGuard traps;
    const DecomposedSymMatrix_syevd e(bad);
    info = e.lapackInfo;
  }
  const std::string etext = testing::internal::GetCapturedStderr();
  EXPECT_LT(info, 0);
  EXPECT_EQ(etext, "decomp failed: " + std::to_string(info) + "\n");

  EXPECT_THROW(DecomposedSymMatrix_syevd(Matrix(2, 3)), std::invalid_argument);
  EXPECT_THROW(DecomposedSymMatrixB_sygvd(eye(2, 2), eye(3, 3)), std::invalid_argument);
  EXPECT_THROW(DecomposedSymMatrixB_sygvd(eye(2, 2), Matrix(2, 1)), std::invalid_argument);

  // The empty problem is a valid one.
  const DecomposedSymMatrix_syevd empty{Matrix()};
  EXPECT_EQ(empty.lapackInfo, 0);
  EXPECT_EQ(empty.s.size(), 0u);
}
