#include "dense/decomposed_general.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "decomp_test_util.h"
#include "dense/safe_divide.h"
#include "support/fp_traps.h"

using namespace decomp_test;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// An orthogonal n x n matrix: the Householder reflector I - 2 v v^T / v^T v.
Matrix reflector(std::size_t n, unsigned seed) {
  const Matrix v = randomMatrix(n, 1, seed);
  double vv = 0.0;
  for (double x : v.elements) vv += x * x;
  Matrix q = eye(n, n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) q(i, j) -= 2.0 * v.elements[i] * v.elements[j] / vv;
  return q;
}

// An m x n matrix with the given singular values (min(m, n) of them).
Matrix withSingularValues(std::size_t m, std::size_t n, std::initializer_list<double> sv) {
  Matrix d(m, n);
  std::size_t i = 0;
  for (double x : sv) d(i, i) = x, ++i;
  return naiveProduct(naiveProduct(reflector(m, 7), d), reflector(n, 11));
}

// U * diag(s) * VT from the members, by plain loops.
Matrix reassemble(const DecomposedGeneralMatrix& d) {
  Matrix r(d.U.rows, d.VT.cols);
  for (std::size_t i = 0; i < r.rows; ++i)
    for (std::size_t j = 0; j < r.cols; ++j)
      for (std::size_t l = 0; l < d.s.size(); ++l) r(i, j) += d.U(i, l) * d.s[l] * d.VT(l, j);
  return r;
}

// A decomposition holding the given values with identity factors.
DecomposedGeneralMatrix withValues(std::valarray<double> s) {
  DecomposedGeneralMatrix d;
  d.s = s;
  d.sign.resize(s.size(), 1.0);
  d.U = eye(s.size(), s.size());
  d.VT = eye(s.size(), s.size());
  return d;
}

}  // namespace

TEST(QuietDivide, GivesIeeeValuesWithoutTrapping) {
  double q[5];
  {
    FpTrapGuard traps;
    q[0] = quietDivide(-1.0, 0.0);
    q[1] = quietDivide(0.0, 0.0);
    q[2] = quietDivide(1e300, 1e-300);
    q[3] = quietDivide(6.0, -3.0);
    q[4] = relativeError(0.5, 0.0);
  }
  EXPECT_EQ(q[0], -kInf);
  EXPECT_TRUE(std::isnan(q[1]));
  EXPECT_EQ(q[2], kInf);
  EXPECT_EQ(q[3], -2.0);
  EXPECT_EQ(q[4], 0.5);
}

TEST(Svd, ShapesSignsAndKnownValues) {
  const Matrix a = withSingularValues(3, 2, {5.0, 0.5});
  {
    FpTrapGuard traps;
    const DecomposedGeneralMatrix thin(a, SvdShape::thin);
    const DecomposedGeneralMatrix full(a, SvdShape::full);
    EXPECT_EQ(thin.lapackInfo, 0);
    EXPECT_EQ(thin.U.rows, 3u);
    EXPECT_EQ(thin.U.cols, 2u);
    EXPECT_EQ(thin.VT.rows, 2u);
    EXPECT_EQ(full.U.cols, 3u);
    EXPECT_EQ(full.VT.rows, 2u);
    expectVectorNear(thin.s, {5.0, 0.5}, 1e-14);
    expectVectorNear(thin.sign, {1.0, 1.0}, 0.0);
    expectMatrixNear(reassemble(thin), a, 1e-14);
    expectMatrixNear(reassemble(full), a, 1e-14);
    // Full U is orthogonal; its last column spans what A's range leaves out.
    expectMatrixNear(Matrix(transposed(full.U) * full.U), eye(3, 3), 1e-14);

    // Wide matrices: thin VT is 2 x 4, full VT 4 x 4.
    const Matrix w = withSingularValues(2, 4, {3.0, 2.0});
    const DecomposedGeneralMatrix wt(w, SvdShape::thin), wf(w, SvdShape::full);
    EXPECT_EQ(wt.U.rows * wt.U.cols, 4u);
    EXPECT_EQ(wt.VT.rows, 2u);
    EXPECT_EQ(wt.VT.cols, 4u);
    EXPECT_EQ(wf.VT.rows, 4u);
    expectVectorNear(wt.s, {3.0, 2.0}, 1e-14);
    expectMatrixNear(reassemble(wt), w, 1e-14);
  }
}

TEST(Svd, VectorsAndScalars) {
  FpTrapGuard traps;
  const DecomposedGeneralMatrix row(fromRows({{3.0, 0.0, -4.0}}), SvdShape::thin);
  expectVectorNear(row.s, {5.0}, 1e-15);
  EXPECT_EQ(row.U.rows * row.U.cols, 1u);
  EXPECT_EQ(row.VT.rows, 1u);
  EXPECT_EQ(row.sign[0], 1.0);
  expectMatrixNear(reassemble(row), fromRows({{3.0, 0.0, -4.0}}), 1e-15);

  const DecomposedGeneralMatrix col(fromRows({{3.0}, {0.0}, {-4.0}}), SvdShape::full);
  expectVectorNear(col.s, {5.0}, 1e-15);
  EXPECT_EQ(col.U.rows, 3u);
  EXPECT_EQ(col.U.cols, 3u);
  expectMatrixNear(reassemble(col), fromRows({{3.0}, {0.0}, {-4.0}}), 1e-15);

  const DecomposedGeneralMatrix scalar(fromRows({{-5.0}}), SvdShape::thin);
  expectVectorNear(scalar.s, {5.0}, 0.0);
  EXPECT_EQ(scalar.sign[0], -1.0);

  // The sign of each value of a square matrix follows u_i . v_i.
  const DecomposedGeneralMatrix pd(diagonal({4.0, 1.0}), SvdShape::thin);
  expectVectorNear(pd.sign, {1.0, 1.0}, 0.0);
  const DecomposedGeneralMatrix indef(diagonal({-4.0, 1.0}), SvdShape::thin);
  expectVectorNear(indef.s, {4.0, 1.0}, 0.0);
  expectVectorNear(indef.sign, {-1.0, 1.0}, 0.0);
}

TEST(Svd, RankOfDeficientMatrices) {
  FpTrapGuard traps;
  const Matrix a = withSingularValues(5, 3, {4.0, 2.0, 0.0});
  const DecomposedGeneralMatrix d(a, SvdShape::thin);
  EXPECT_NEAR(d.s[0], 4.0, 1e-14);
  EXPECT_NEAR(d.s[1], 2.0, 1e-14);
  EXPECT_LT(d.s[2], 1e-14);
  const DecompInfo info = d.info(1e-10);
  EXPECT_EQ(info.rank, 2u);
  EXPECT_NEAR(info.nzcond, 2.0, 1e-13);
  EXPECT_NEAR(info.maxnzs, 4.0, 1e-14);
  EXPECT_NEAR(info.minnzs, 2.0, 1e-14);

  // Rank one: an outer product x y^T has the single value |x| |y|.
  const Matrix outer = fromRows({{1, 2, 2}, {2, 4, 4}, {0, 0, 0}, {2, 4, 4}});
  const DecomposedGeneralMatrix o(outer, SvdShape::full);
  EXPECT_NEAR(o.s[0], 9.0, 1e-14);
  EXPECT_EQ(o.info(1e-10).rank, 1u);
  unsigned rank = 99;
  testing::internal::CaptureStderr();
  const std::valarray<double> w = o.idiag(1e-10, rank, true, false);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(rank, 1u);
  expectVectorNear(w, {1.0 / 9.0, 0.0, 0.0}, 1e-15);
}

TEST(Svd, DiagnosticsOnKnownValues) {
  const DecomposedGeneralMatrix d = withValues({10.0, 1e-3, 1e-20});
  DecompInfo info;
  std::valarray<double> none, cleared, capped;
  unsigned r1 = 0, r2 = 0, r3 = 0;
  std::string text;
  {
    FpTrapGuard traps;
    info = d.info(1e-10);
    testing::internal::CaptureStderr();
    none = d.idiag(1e-10, r1, false, false);
    text = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    cleared = d.idiag(1e-10, r2, true, true);
    capped = d.idiag(1e-10, r3, false, true);
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(info.rank, 2u);
  EXPECT_DOUBLE_EQ(info.cond, 1e21);
  EXPECT_DOUBLE_EQ(info.nzcond, 1e4);
  EXPECT_DOUBLE_EQ(info.cutoff, 1e17);
  EXPECT_DOUBLE_EQ(info.abstol, 1e-9);
  EXPECT_EQ(info.maxs, 10.0);
  EXPECT_EQ(info.mins, 1e-20);
  EXPECT_EQ(info.minnzs, 1e-3);
  EXPECT_EQ(info.maxnzs, 10.0);

  EXPECT_EQ(r1, 2u);
  EXPECT_EQ(r2, 2u);
  EXPECT_EQ(r3, 2u);
  expectVectorNear(none, {0.1, 1000.0, 1e-20}, 1e-12);
  EXPECT_EQ(none[2], 1e-20);
  EXPECT_EQ(cleared[2], 0.0);  // clear wins over cap
  EXPECT_DOUBLE_EQ(capped[2], 1e9);
  EXPECT_EQ(text,
            "IDiag: tol 1e-10 max 10 min 1e-20\n"
            "IDiag: 2 inverted 0 cleared 0 capped at 1e+09, 1 left unchanged\n");

  // A value of an already singular matrix: the cut is infinitely sharp.
  const DecompInfo singular = withValues({5.0, 1.0, 0.0}).info(1e-10);
  EXPECT_EQ(singular.rank, 2u);
  EXPECT_EQ(singular.cond, kInf);
  EXPECT_EQ(singular.cutoff, kInf);
  EXPECT_EQ(singular.nzcond, 5.0);
}

TEST(Svd, ZeroEmptyAndFullyCutDecompositions) {
  DecompInfo zeroInfo, emptyInfo, allCut;
  std::valarray<double> zeroPlain, zeroCap, emptyD;
  unsigned zr = 9, er = 9, cr = 9;
  Matrix zeroResol, emptyResol;
  double zeroErrors[3];
  std::valarray<double> capTolZero;
  unsigned tz = 9;
  {
    FpTrapGuard traps;
    const DecomposedGeneralMatrix zero(Matrix(3, 2), SvdShape::thin, DecompChecks::on);
    zeroErrors[0] = zero.relErrDecomp;
    zeroErrors[1] = zero.relErrRecon;
    zeroErrors[2] = zero.relErrUnitary;
    zeroInfo = zero.info(1e-10);
    testing::internal::CaptureStderr();
    zeroPlain = zero.idiag(1e-10, zr, false, false);
    zeroCap = zero.idiag(1e-10, zr, false, true);
    zeroResol = zero.resol(1e-10);

    const DecomposedGeneralMatrix empty(Matrix(0, 3), SvdShape::full, DecompChecks::on);
    emptyInfo = empty.info(1e-10);
    emptyD = empty.idiag(1e-10, er, true, false);
    emptyResol = empty.resol(1e-10);

    const DecomposedGeneralMatrix ordinary(diagonal({2.0, 1.0}), SvdShape::thin, DecompChecks::on);
    allCut = ordinary.info(2.0);
    ordinary.idiag(2.0, cr, false, true);
    // tol 0 keeps every non-zero value; the zero is still not inverted.
    capTolZero = withValues({2.0, 0.0}).idiag(0.0, tz, false, true);
    testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(zeroErrors[0], 0.0);
  EXPECT_EQ(zeroErrors[1], 0.0);
  EXPECT_NEAR(zeroErrors[2], 0.0, 1e-15);
  EXPECT_EQ(zeroInfo.rank, 0u);
  EXPECT_EQ(zeroInfo.cond, kInf);
  EXPECT_EQ(zeroInfo.nzcond, 0.0);
  EXPECT_EQ(zeroInfo.cutoff, 0.0);
  EXPECT_EQ(zr, 0u);
  expectVectorNear(zeroPlain, {0.0, 0.0}, 0.0);
  expectVectorNear(zeroCap, {0.0, 0.0}, 0.0);
  expectMatrixNear(zeroResol, Matrix(2, 3), 0.0);

  EXPECT_EQ(emptyInfo.rank, 0u);
  EXPECT_EQ(er, 0u);
  EXPECT_EQ(emptyD.size(), 0u);
  EXPECT_EQ(emptyResol.rows, 3u);
  EXPECT_EQ(emptyResol.cols, 0u);

  EXPECT_EQ(allCut.rank, 0u);
  EXPECT_EQ(cr, 0u);
  EXPECT_EQ(tz, 1u);
  expectVectorNear(capTolZero, {0.5, 0.0}, 0.0);
}

TEST(Svd, ResolIsThePseudoInverse) {
  FpTrapGuard traps;
  testing::internal::CaptureStderr();
  // Tall, full rank: X A = I and A X A = A.
  const Matrix a = randomMatrix(5, 3, 3);
  const Matrix x = DecomposedGeneralMatrix(a, SvdShape::thin).resol(1e-12);
  ASSERT_EQ(x.rows, 3u);
  ASSERT_EQ(x.cols, 5u);
  expectMatrixNear(naiveProduct(x, a), eye(3, 3), 1e-13);

  // Rank one: pinv(x y^T) = y x^T / (|x|^2 |y|^2).
  const Matrix outer = fromRows({{1, 2, 2}, {2, 4, 4}});
  const Matrix p = DecomposedGeneralMatrix(outer, SvdShape::thin).resol(1e-10);
  const Matrix want = fromRows({{1.0 / 45, 2.0 / 45}, {2.0 / 45, 4.0 / 45}, {2.0 / 45, 4.0 / 45}});
  expectMatrixNear(p, want, 1e-15);

  // A full factorisation of a wide matrix has more right vectors than
  // values; only the value pairs take part.
  const Matrix w = randomMatrix(2, 4, 5);
  const Matrix pw = DecomposedGeneralMatrix(w, SvdShape::full).resol(1e-12);
  ASSERT_EQ(pw.rows, 4u);
  ASSERT_EQ(pw.cols, 2u);
  expectMatrixNear(naiveProduct(w, pw), eye(2, 2), 1e-13);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("IDiag: 3 inverted 0 cleared 0 capped at "), std::string::npos);
}

TEST(Svd, ErrorMeasures) {
  const Matrix a = randomMatrix(6, 4, 21);
  const DecomposedGeneralMatrix off(a, SvdShape::thin, DecompChecks::off);
  EXPECT_EQ(off.relErrDecomp, 0.0);
  EXPECT_EQ(off.relErrRecon, 0.0);
  EXPECT_EQ(off.relErrUnitary, 0.0);

  FpTrapGuard traps;
  for (SvdShape shape : {SvdShape::thin, SvdShape::full}) {
    const DecomposedGeneralMatrix on(a, shape, DecompChecks::on);
    EXPECT_GT(on.relErrDecomp, 0.0);  // computed, and at rounding level
    EXPECT_LT(on.relErrDecomp, 1e-14);
    EXPECT_LT(on.relErrRecon, 1e-14);
    EXPECT_LT(on.relErrUnitary, 1e-14);
    EXPECT_EQ(on.decompErrorM(a), on.relErrDecomp);
    EXPECT_EQ(on.unitaryError(), on.relErrUnitary);
  }
}

TEST(Svd, RecomputesAndRefusesMalformedWorkMatrices) {
  // A caller fills the work matrix of an empty object and factorises it.
  DecomposedGeneralMatrix d;
  d.a = diagonal({3.0, -2.0});
  d.computeSVD(SvdShape::thin);
  expectVectorNear(d.s, {3.0, 2.0}, 0.0);
  expectVectorNear(d.sign, {1.0, -1.0}, 0.0);
  EXPECT_EQ(d.relErrDecomp, 0.0);

  DecomposedGeneralMatrix shortStorage;
  shortStorage.a.rows = 3;
  shortStorage.a.cols = 3;
  shortStorage.a.elements.resize(4);
  EXPECT_THROW(shortStorage.computeSVD(SvdShape::thin), std::invalid_argument);

  DecomposedGeneralMatrix huge;
  huge.a.rows = static_cast<std::size_t>(INT_MAX) + 1;
  huge.a.cols = 1;
  EXPECT_THROW(huge.computeSVD(SvdShape::full), std::length_error);

  // A NaN is refused by LAPACK: the code is kept, nothing is thrown.
  Matrix bad = diagonal({1.0, 2.0});
  bad(0, 1) = std::nan("");
  FpTrapGuard traps;
  const DecomposedGeneralMatrix failed(bad, SvdShape::thin);
  EXPECT_NE(failed.lapackInfo, 0);
}
