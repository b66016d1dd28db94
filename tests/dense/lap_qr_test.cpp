#include "dense/lap_qr.h"

#include <gtest/gtest.h>
#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "decomp_test_util.h"
#include "support/fp_traps.h"

using namespace decomp_test;

namespace {

// Applies Q (or Q^T) of the factorisation to the m-vector or m x c block x.
void applyQ(const LapQRDecomposed& f, Matrix& x, bool transpose) {
  ASSERT_EQ(LAPACKE_dormqr(LAPACK_ROW_MAJOR, 'L', transpose ? 'T' : 'N', static_cast<int>(f.m),
                           static_cast<int>(x.cols), static_cast<int>(f.k), f.qr.data(),
                           static_cast<int>(f.n), &f.tau[0], x.data(), static_cast<int>(x.cols)),
            0);
}

// min ||A x - b|| by the QR: y = Q^T b, R_r y = y on the leading rank rows,
// then x[jpvt[j] - 1] = y[j].
std::valarray<double> qrLeastSquares(const LapQRDecomposed& f, const std::valarray<double>& b,
                                     std::uint32_t rank) {
  Matrix y(f.m, 1, b);
  applyQ(f, y, true);
  std::valarray<double> z = y.elements;
  EXPECT_EQ(SolveTri(&f.R, f.n, rank).solve(z, false), 0);
  std::valarray<double> x(f.n);
  for (std::size_t j = 0; j < f.n; ++j) x[f.jpvt[j] - 1] = z[j];
  return x;
}

// The minimum-norm least-squares solution by LAPACKE_dgelsd.
std::valarray<double> gelsd(Matrix a, const std::valarray<double>& b) {
  const int m = static_cast<int>(a.rows), n = static_cast<int>(a.cols);
  std::valarray<double> x(std::max(m, n));
  std::copy(std::begin(b), std::end(b), std::begin(x));
  std::valarray<double> sv(std::min(m, n));
  int rank = 0;
  EXPECT_EQ(LAPACKE_dgelsd(LAPACK_ROW_MAJOR, m, n, 1, a.data(), n, &x[0], 1, &sv[0], 1e-10, &rank),
            0);
  return x[std::slice(0, n, 1)];
}

double residualNorm(const Matrix& a, const std::valarray<double>& x, const std::valarray<double>& b) {
  return normfro(matrixVectorProduct(a, x) - b);
}

}  // namespace

TEST(PivotedQr, FactorLayoutAndTrace) {
  const Matrix a = fromRows({{1, 2}, {3, 4}, {5, 6}, {7, 9}});
  testing::internal::CaptureStderr();
  FpTrapGuard traps;
  const LapQRDecomposed f(a);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text.rfind("QR 4 x 2\nt(qr_): ", 0), 0u) << text;
  EXPECT_EQ(f.lapackInfo, 0);
  EXPECT_EQ(f.m, 4u);
  EXPECT_EQ(f.n, 2u);
  EXPECT_EQ(f.k, 2u);
  ASSERT_EQ(f.tau.size(), 4u);
  EXPECT_NE(f.tau[0], 0.0);
  EXPECT_EQ(f.tau[2], 0.0);
  EXPECT_EQ(f.tau[3], 0.0);
  ASSERT_EQ(f.jpvt.size(), 2u);
  // The larger column goes first.
  EXPECT_EQ(f.jpvt[0], 2);
  EXPECT_EQ(f.jpvt[1], 1);
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 2; ++j)
      if (j < i || i >= 2) EXPECT_EQ(f.R(i, j), 0.0) << i << "," << j;
      else EXPECT_EQ(f.R(i, j), f.qr(i, j));
  // Q R reproduces the permuted columns, |R_00| = |column 2|.
  Matrix qr = f.R;
  applyQ(f, qr, false);
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 2; ++j) EXPECT_NEAR(qr(i, j), a(i, f.jpvt[j] - 1), 1e-14);
  EXPECT_NEAR(std::fabs(f.R(0, 0)), std::sqrt(4.0 + 16 + 36 + 81), 1e-14);
  EXPECT_EQ(f.relErrUnitary, 0.0);
}

TEST(PivotedQr, LeastSquaresAgreesWithDenseSolver) {
  const Matrix a = randomMatrix(7, 4, 42);
  const std::valarray<double> b = randomMatrix(7, 1, 43).elements;
  testing::internal::CaptureStderr();
  std::valarray<double> x, want, xd, wantd;
  Matrix d = a;
  {
    FpTrapGuard traps;
    x = qrLeastSquares(LapQRDecomposed(a), b, 0);
    want = gelsd(a, b);
    // Rank deficient: column 3 = column 0 + column 1. Pivoting moves a
    // dependent column to the end; the basic solution of rank 3 reaches the
    // same least residual as the minimum-norm one.
    for (std::size_t i = 0; i < d.rows; ++i) d(i, 3) = d(i, 0) + d(i, 1);
    const LapQRDecomposed fd(d);
    EXPECT_LT(std::fabs(fd.R(3, 3)), 1e-14);
    xd = qrLeastSquares(fd, b, 3);
    wantd = gelsd(d, b);
  }
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("TR 4\nt(tr_): "), std::string::npos);
  EXPECT_NE(text.find("TR 3\nt(tr_): "), std::string::npos);
  expectVectorNear(x, want, 1e-13);
  EXPECT_NEAR(residualNorm(d, xd, b), residualNorm(d, wantd, b), 1e-13);
  EXPECT_LT(residualNorm(d, wantd, b), residualNorm(a, want, b) * 2.0);
}

TEST(TriangularSolve, OrderTransposeAndSingularity) {
  const Matrix r = fromRows({{2, 1, 4}, {0, 4, 1}, {0, 0, 5}});
  testing::internal::CaptureStderr();
  FpTrapGuard traps;

  // Leading 2 x 2 triangle: 2 y0 + y1 = 4, 4 y1 = 8; the tail is zeroed.
  std::valarray<double> x = {4.0, 8.0, 7.0};
  EXPECT_EQ(SolveTri(&r, 3, 2).solve(x, false), 0);
  expectVectorNear(x, {1.0, 2.0, 0.0}, 0.0);

  // Full order (0 stands for n) and the transposed system R^T y = b.
  const std::valarray<double> y = {1.0, -1.0, 2.0};
  std::valarray<double> b = matrixVectorProduct(r, y);
  EXPECT_EQ(SolveTri(&r, 3).solve(b, false), 0);
  expectVectorNear(b, y, 1e-15);
  std::valarray<double> bt = matrixTransposeVectorProduct(r, y);
  EXPECT_EQ(SolveTri(&r, 3, 3).solve(bt, true), 0);
  expectVectorNear(bt, y, 1e-15);

  // A zero on the diagonal: its 1-based position comes back, the tail is
  // still cleared.
  Matrix singular = r;
  singular(1, 1) = 0.0;
  std::valarray<double> s = {1.0, 1.0, 1.0, 9.0};
  EXPECT_EQ(SolveTri(&singular, 3, 2).solve(s, false), 2);
  EXPECT_EQ(s[2], 0.0);
  EXPECT_EQ(s[3], 9.0);  // entries beyond n are not touched

  // Order 0 set on the view itself: nothing to solve, everything cleared.
  SolveTri none;
  none.n = 3;
  std::valarray<double> z = {1.0, 2.0, 3.0};
  EXPECT_EQ(none.solve(z, false), 0);
  expectVectorNear(z, {0.0, 0.0, 0.0}, 0.0);
  testing::internal::GetCapturedStderr();

  // Views that would read or write outside the storage are refused.
  std::valarray<double> shortX = {1.0, 2.0};
  EXPECT_THROW(SolveTri(&r, 3).solve(shortX, false), std::invalid_argument);
  std::valarray<double> ok = {1.0, 2.0, 3.0};
  EXPECT_THROW(SolveTri(&r, 3, 4).solve(ok, false), std::invalid_argument);
  EXPECT_THROW(SolveTri(nullptr, 3).solve(ok, false), std::invalid_argument);
  const Matrix wide(2, 3);
  EXPECT_THROW(SolveTri(&wide, 3).solve(ok, false), std::invalid_argument);
}

TEST(PivotedQr, WideEmptyAndOrthogonality) {
  testing::internal::CaptureStderr();
  FpTrapGuard traps;
  const Matrix a = randomMatrix(6, 4, 8);
  const LapQRDecomposed tall(a, DecompChecks::on);
  EXPECT_GT(tall.relErrUnitary, 0.0);
  EXPECT_LT(tall.relErrUnitary, 1e-14);

  // More columns than rows: only two reflectors exist.
  const Matrix w = randomMatrix(2, 4, 9);
  const LapQRDecomposed wide(w, DecompChecks::on);
  EXPECT_EQ(wide.k, 2u);
  EXPECT_EQ(wide.tau.size(), 2u);
  EXPECT_EQ(wide.jpvt.size(), 4u);
  EXPECT_LT(wide.relErrUnitary, 1e-14);
  EXPECT_GT(wide.relErrUnitary, 0.0);
  Matrix qr = wide.R;
  applyQ(wide, qr, false);
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(qr(i, j), w(i, wide.jpvt[j] - 1), 1e-14);

  // No rows: nothing is factorised, the columns keep their places.
  const LapQRDecomposed empty(Matrix(0, 3), DecompChecks::on);
  EXPECT_EQ(empty.lapackInfo, 0);
  EXPECT_EQ(empty.k, 0u);
  EXPECT_EQ(empty.jpvt, (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(empty.relErrUnitary, 0.0);
  const LapQRDecomposed noColumns(Matrix(3, 0), DecompChecks::on);
  EXPECT_EQ(noColumns.tau.size(), 3u);
  EXPECT_EQ(noColumns.relErrUnitary, 0.0);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("QR 0 x 3\n"), std::string::npos);
}
