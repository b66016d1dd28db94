#include "dense/matrix.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <initializer_list>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using Matrix = MatrixTemplate<double>;

Matrix fromRows(std::initializer_list<std::initializer_list<double>> rows) {
  const std::size_t r = rows.size(), c = r ? rows.begin()->size() : 0;
  Matrix m(r, c);
  std::size_t k = 0;
  for (const auto& row : rows)
    for (double v : row) m.elements[k++] = v;
  return m;
}

Matrix randomMatrix(std::size_t r, std::size_t c, std::mt19937& gen) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (auto& v : m.elements) v = u(gen);
  return m;
}

std::valarray<double> randomVector(std::size_t n, std::mt19937& gen) {
  return randomMatrix(n, 1, gen).elements;
}

// Reference A * B (or A^T * B) by the textbook triple loop.
Matrix naive(const Matrix& a, const Matrix& b, bool transA = false) {
  const std::size_t m = transA ? a.cols : a.rows, k = transA ? a.rows : a.cols;
  Matrix r(m, b.cols);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < k; ++l) s += (transA ? a(l, i) : a(i, l)) * b(l, j);
      r(i, j) = s;
    }
  return r;
}

void expectMatrixNear(const Matrix& got, const Matrix& want, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(got.rows, want.rows);
  ASSERT_EQ(got.cols, want.cols);
  ASSERT_EQ(got.elements.size(), want.rows * want.cols);
  for (std::size_t k = 0; k < want.elements.size(); ++k)
    EXPECT_NEAR(got.elements[k], want.elements[k], 1e-12) << "entry " << k;
}

void expectVectorNear(const std::valarray<double>& got, const std::valarray<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-12);
}

Matrix plus(Matrix a, const Matrix& b) {
  a.elements += b.elements;
  return a;
}

}  // namespace

TEST(MatrixProducts, AgreeWithNaiveLoopsOnAllShapes) {
  std::mt19937 gen(7);
  struct Shape {
    std::size_t m, k, n;
  };
  const std::vector<Shape> shapes = {{1, 5, 4}, {5, 4, 1}, {1, 1, 1}, {1, 4, 1}, {3, 1, 4},
                                     {4, 3, 5}, {6, 6, 6}, {2, 0, 3}, {1, 0, 3}, {0, 3, 2}};
  for (const Shape& s : shapes) {
    SCOPED_TRACE(testing::Message() << s.m << " x " << s.k << " x " << s.n);
    const Matrix a = randomMatrix(s.m, s.k, gen), b = randomMatrix(s.k, s.n, gen);
    const Matrix ab = naive(a, b);

    Matrix r;
    do_mult_blas(a, b, r, false);
    expectMatrixNear(r, ab, "into an empty target");

    Matrix stale = randomMatrix(s.n, s.m, gen);  // right count, other shape, old entries
    do_mult_blas(a, b, stale, false);
    expectMatrixNear(stale, ab, "overwriting a target");

    const Matrix c = randomMatrix(s.m, s.n, gen);
    Matrix acc = c;
    do_mult_blas(a, b, acc, true);
    expectMatrixNear(acc, plus(c, ab), "accumulating");

    Matrix wrong = randomMatrix(s.m + 1, s.n + 2, gen);
    do_mult_blas(a, b, wrong, true);
    expectMatrixNear(wrong, ab, "accumulating into a target of another size");

    Matrix prod = a;
    prod *= b;
    expectMatrixNear(prod, ab, "multiplyAssign");

    const Matrix at = randomMatrix(s.k, s.m, gen);  // A^T * B with A = at
    const Matrix atb = naive(at, b, true);
    expectMatrixNear(Matrix(transposed(at) * b), atb, "transposed product");
    Matrix into = randomMatrix(s.m, s.n, gen), resized(2, 9);
    into = transposed(at) * b;
    resized.assignTransposedProduct(transposed(at) * b);
    expectMatrixNear(into, atb, "assigned transposed product");
    expectMatrixNear(resized, atb, "assigned transposed product, resized");

    const Matrix mm = randomMatrix(s.m, s.n, gen);
    Matrix diff = atb;
    diff.elements -= mm.elements;
    EXPECT_NEAR(normfro(transposed(at) * b - mm), normfro(diff.elements), 1e-12);

    const std::valarray<double> x = randomVector(s.k, gen), y = randomVector(s.k, gen);
    Matrix xm(s.k, 1, x);
    expectVectorNear(matrixVectorProduct(a, x), naive(a, xm).elements);
    Matrix ym(s.k, 1, y);
    expectVectorNear(matrixTransposeVectorProduct(transposed(at), y), naive(at, ym, true).elements);
  }
}

TEST(MatrixProducts, TargetsMayAliasOperandsAndKeepFittingStorage) {
  std::mt19937 gen(11);
  const Matrix a0 = randomMatrix(4, 4, gen), b = randomMatrix(4, 4, gen);
  const Matrix sq = naive(a0, a0);

  Matrix a = a0;
  a *= a;
  expectMatrixNear(a, sq, "A *= A");

  a = a0;
  do_mult_blas(a, a, a, false);
  expectMatrixNear(a, sq, "R = A * A into A");

  a = a0;
  do_mult_blas(a, b, a, true);
  expectMatrixNear(a, plus(a0, naive(a0, b)), "A += A * B");

  a = a0;
  a = transposed(a) * b;
  expectMatrixNear(a, naive(a0, b, true), "A = A^T * B");

  // Targets whose element count fits keep their storage.
  Matrix r = randomMatrix(4, 4, gen);
  const double* p = r.data();
  do_mult_blas(a0, b, r, false);
  r = transposed(a0) * b;
  r = b;
  EXPECT_EQ(r.data(), p);

  // The one-row and one-column shortcuts give the target its shape.
  const Matrix row = randomMatrix(1, 4, gen), col = randomMatrix(4, 1, gen);
  Matrix t = randomMatrix(4, 1, gen);  // right count, column shape
  const Matrix t0 = t;
  do_mult_blas(row, b, t, true);
  EXPECT_EQ(t.rows, 1u);
  EXPECT_EQ(t.cols, 4u);
  expectVectorNear(t.elements, t0.elements + naive(row, b).elements);
  Matrix u;
  do_mult_blas(b, col, u, true);
  expectMatrixNear(u, naive(b, col), "shortcut into an empty target");
  Matrix one;
  do_mult_blas(row, col, one, false);
  expectMatrixNear(one, naive(row, col), "1 x k times k x 1");
}

TEST(MatrixProducts, MismatchedOperandsAreRefusedWithoutTouchingTheTarget) {
  std::mt19937 gen(3);
  const Matrix a = randomMatrix(2, 3, gen), b = randomMatrix(2, 3, gen);
  Matrix r = randomMatrix(5, 5, gen);
  const Matrix r0 = r;
  EXPECT_THROW(do_mult_blas(a, b, r, true), std::invalid_argument);
  expectMatrixNear(r, r0, "target after a refused product");
  Matrix a2 = a;
  EXPECT_THROW(a2 *= b, std::invalid_argument);
  EXPECT_THROW(Matrix(transposed(a) * randomMatrix(3, 2, gen)), std::invalid_argument);
  EXPECT_THROW(matrixVectorProduct(a, std::valarray<double>(2)), std::invalid_argument);
  EXPECT_THROW(matrixTransposeVectorProduct(transposed(a), std::valarray<double>(1)),
               std::invalid_argument);

  Matrix shortStorage = a;  // dims set by hand beyond the storage
  shortStorage.rows = 3;
  EXPECT_THROW(do_mult_blas(shortStorage, randomMatrix(3, 2, gen), r, false),
               std::invalid_argument);
  EXPECT_THROW(do_transpose(shortStorage), std::invalid_argument);
  EXPECT_THROW(Matrix(2, 2, std::valarray<double>(3)), std::invalid_argument);
  const std::valarray<double> three(3);
  EXPECT_THROW(Matrix(2, 2, three), std::invalid_argument);
}

TEST(MatrixConstruction, TakesOverATemporaryWithoutCopying) {
  // The dense linear solve builds its matrix from the host's copy this way:
  // one copy of A in all.
  std::valarray<double> values(1.5, 6);
  const double* storage = &values[0];
  const Matrix m(2, 3, std::move(values));
  EXPECT_EQ(m.data(), storage);
  EXPECT_EQ(m(1, 2), 1.5);
}

TEST(MatrixShapes, DimensionsAboveIntMaxAreRefused) {
  const std::size_t big = static_cast<std::size_t>(INT_MAX) + 1;
  EXPECT_THROW(Matrix(big, 1), std::length_error);
  EXPECT_THROW(Matrix(1, big), std::length_error);
  EXPECT_THROW(eye(big, 0), std::length_error);
  EXPECT_NO_THROW(Matrix(INT_MAX, 0));

  Matrix tall;  // no entries, but a row count that would wrap as an int
  tall.rows = big;
  Matrix r;
  EXPECT_THROW(do_mult_blas(tall, Matrix(0, 2), r, false), std::length_error);
  EXPECT_THROW(matrixVectorProduct(tall, {}), std::length_error);
  try {
    eye(1, big);
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_NE(std::string(e.what()).find("2147483648"), std::string::npos) << e.what();
  }
}

TEST(MatrixTransforms, TransposeEyeCbindScaleSymSub) {
  expectMatrixNear(do_transpose(fromRows({{1, 2, 3}, {4, 5, 6}})),
                   fromRows({{1, 4}, {2, 5}, {3, 6}}), "2 x 3 transpose");
  expectMatrixNear(do_transpose(fromRows({{1, 2, 3}})), fromRows({{1}, {2}, {3}}), "row transpose");
  expectMatrixNear(do_transpose(fromRows({{1}, {2}})), fromRows({{1, 2}}), "column transpose");

  expectMatrixNear(eye(2, 3), fromRows({{1, 0, 0}, {0, 1, 0}}), "eye(2, 3)");
  expectMatrixNear(eye(3, 2), fromRows({{1, 0}, {0, 1}, {0, 0}}), "eye(3, 2)");
  const Matrix e0 = eye(0, 4);
  EXPECT_EQ(e0.elements.size(), 0u);
  EXPECT_EQ(e0.cols, 4u);

  const Matrix c1 = fromRows({{1}, {2}, {3}}), c2 = fromRows({{4, 5}, {6, 7}});
  expectMatrixNear(cbind(c1, c2), fromRows({{1, 4, 5}, {2, 6, 7}, {3, 0, 0}}), "taller left");
  expectMatrixNear(cbind(c2, c1), fromRows({{4, 5, 1}, {6, 7, 2}, {0, 0, 3}}), "taller right");
  expectMatrixNear(cbind(c2, Matrix()), c2, "empty right");

  const Matrix s = fromRows({{1, 2}, {3, 4}});
  expectMatrixNear(scaleCols(s, {10, 100}), fromRows({{10, 20}, {300, 400}}), "scaleCols");
  EXPECT_THROW(scaleCols(s, {10}), std::invalid_argument);
  EXPECT_THROW(scaleCols(s, {1, 2, 3}), std::invalid_argument);
  expectMatrixNear(DiagMatrixTemplate<double>({2}, 2, 2) * s, fromRows({{2, 4}, {0, 0}}),
                   "short diagonal");
  EXPECT_THROW(DiagMatrixTemplate<double>({1, 1, 1}, 3, 3) * s, std::invalid_argument);

  expectMatrixNear(mksym(fromRows({{1, 2}, {4, 3}})), fromRows({{1, 3}, {3, 3}}), "mksym");

  Matrix m(4, 4);
  for (std::size_t k = 0; k < 16; ++k) m.elements[k] = static_cast<double>(k);
  expectMatrixNear(m.sub(1, 2), fromRows({{5, 6}, {9, 10}}), "sub(1, 2)");
  EXPECT_EQ(m.sub(4, 0).elements.size(), 0u);
  EXPECT_THROW(m.sub(3, 2), std::out_of_range);
  EXPECT_THROW(m.sub(5, 0), std::out_of_range);
}

TEST(MatrixTransforms, ColumnBlocksAndDifferences) {
  const Matrix m = fromRows({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}});
  expectVectorNear(m[columns{1, 2}], {2, 3, 6, 7, 10, 11});
  expectVectorNear(m[columns{3, 1}], {4, 8, 12});
  const columns none{4, 0}, pastEnd{3, 2}, startPastEnd{5, 0};
  EXPECT_EQ(m[none].size(), 0u);
  EXPECT_THROW(m[pastEnd], std::out_of_range);
  EXPECT_THROW(m[startPastEnd], std::out_of_range);

  const Matrix a = fromRows({{5, 7}, {9, 11}}), b = fromRows({{1, 2}, {3, 4}});
  Matrix r(7, 1);
  do_binminus(r, a, b);
  expectMatrixNear(r, fromRows({{4, 5}, {6, 7}}), "A - B");
  Matrix bb = b;
  do_binminus(bb, a, bb);
  expectMatrixNear(bb, fromRows({{4, 5}, {6, 7}}), "A - B into B");
  EXPECT_THROW(do_binminus(r, a, fromRows({{1, 2, 3}})), std::invalid_argument);

  // Copies are deep.
  Matrix c = a;
  c(0, 0) = -1;
  EXPECT_EQ(a(0, 0), 5.0);
}
