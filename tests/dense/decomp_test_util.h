#pragma once
// Small helpers shared by the decomposition tests.

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <random>
#include <valarray>

#include "dense/matrix.h"

namespace decomp_test {

using Matrix = MatrixTemplate<double>;

inline Matrix fromRows(std::initializer_list<std::initializer_list<double>> rows) {
  const std::size_t r = rows.size(), c = r ? rows.begin()->size() : 0;
  Matrix m(r, c);
  std::size_t k = 0;
  for (const auto& row : rows)
    for (double v : row) m.elements[k++] = v;
  return m;
}

inline Matrix diagonal(std::initializer_list<double> d) {
  Matrix m(d.size(), d.size());
  std::size_t i = 0;
  for (double v : d) m(i, i) = v, ++i;
  return m;
}

inline Matrix randomMatrix(std::size_t r, std::size_t c, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (auto& v : m.elements) v = u(gen);
  return m;
}

// Textbook product A * B.
inline Matrix naiveProduct(const Matrix& a, const Matrix& b) {
  Matrix r(a.rows, b.cols);
  for (std::size_t i = 0; i < a.rows; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < a.cols; ++l) s += a(i, l) * b(l, j);
      r(i, j) = s;
    }
  return r;
}

inline void expectMatrixNear(const Matrix& got, const Matrix& want, double tol) {
  ASSERT_EQ(got.rows, want.rows);
  ASSERT_EQ(got.cols, want.cols);
  for (std::size_t i = 0; i < want.rows; ++i)
    for (std::size_t j = 0; j < want.cols; ++j)
      EXPECT_NEAR(got(i, j), want(i, j), tol) << "entry (" << i << ", " << j << ")";
}

inline void expectVectorNear(const std::valarray<double>& got, const std::valarray<double>& want,
                             double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "entry " << i;
}

}  // namespace decomp_test
