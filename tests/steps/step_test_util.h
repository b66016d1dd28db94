#pragma once
// Dense problems, counting product closures and LAPACK oracles for the step
// solver tests.

#include <cblas.h>
#include <gtest/gtest.h>
#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <valarray>
#include <vector>

#include "dense/decomp_test_util.h"
#include "dense/matrix.h"
#include "dense/norms.h"

namespace step_test {

using Matrix = MatrixTemplate<double>;
using Vec = std::valarray<double>;

using decomp_test::randomMatrix;

inline Vec randomVector(std::size_t n, unsigned seed) { return randomMatrix(n, 1, seed).elements; }

// A r x c matrix of rank `rank`: the product of random r x rank and rank x c
// factors.
inline Matrix lowRankMatrix(std::size_t r, std::size_t c, std::size_t rank, unsigned seed) {
  const Matrix a = randomMatrix(r, rank, seed), b = randomMatrix(rank, c, seed + 1);
  Matrix m(r, c);
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(r), static_cast<int>(c),
              static_cast<int>(rank), 1.0, a.data(), static_cast<int>(rank), b.data(),
              static_cast<int>(c), 0.0, m.data(), static_cast<int>(c));
  return m;
}

// A x (or A^T x) as a product closure that counts its calls and fails the
// test when it is handed a non-finite input. `poison` makes call number
// `poison` (1-based) answer NaN.
struct DenseProduct {
  const Matrix& A;
  bool transpose = false;
  mutable int calls = 0;
  int poison = 0;

  void operator()(const Vec& in, Vec& out) const {
    ++calls;
    const std::size_t inLen = transpose ? A.rows : A.cols, outLen = transpose ? A.cols : A.rows;
    EXPECT_EQ(in.size(), inLen);
    EXPECT_EQ(out.size(), outLen);
    for (double v : in) EXPECT_TRUE(std::isfinite(v)) << "a product was handed a non-finite input";
    if (outLen == 0) return;
    if (inLen == 0) {
      out = 0.0;
    } else {
      cblas_dgemv(CblasRowMajor, transpose ? CblasTrans : CblasNoTrans, static_cast<int>(A.rows),
                  static_cast<int>(A.cols), 1.0, A.data(), static_cast<int>(A.cols), &in[0], 1, 0.0,
                  &out[0], 1);
    }
    if (calls == poison) out[0] = std::numeric_limits<double>::quiet_NaN();
  }
};

// A^T on k contiguous m-vectors at once (k = element count / m, the block
// layout of the host-product wrappers), answering k contiguous n-vectors.
// Records the count of every call and, with `keep`, its input; fails the
// test on a non-finite input; call number `poison` answers a NaN.
struct DenseBlockTransposed {
  const Matrix& A;
  bool keep = false;
  int poison = 0;
  mutable std::vector<std::size_t> counts{};
  mutable Vec inputs{};  // the kept inputs, one after the other

  void operator()(const Vec& in, Vec& out) const {
    const std::size_t k = A.rows == 0 ? 0 : in.size() / A.rows;
    counts.push_back(k);
    EXPECT_EQ(in.size(), k * A.rows);
    EXPECT_EQ(out.size(), k * A.cols);
    for (double v : in) EXPECT_TRUE(std::isfinite(v)) << "a product was handed a non-finite input";
    if (keep) {
      Vec all(inputs.size() + in.size());
      all[std::slice(0, inputs.size(), 1)] = inputs;
      all[std::slice(inputs.size(), in.size(), 1)] = in;
      inputs.swap(all);
    }
    if (k == 0 || A.cols == 0) return;
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(k),
                static_cast<int>(A.cols), static_cast<int>(A.rows), 1.0, &in[0],
                static_cast<int>(A.rows), A.data(), static_cast<int>(A.cols), 0.0, &out[0],
                static_cast<int>(A.cols));
    if (static_cast<int>(counts.size()) == poison) out[0] = std::numeric_limits<double>::quiet_NaN();
  }
};

// min ||A x - b|| for a full-rank A (LAPACKE_dgels).
inline Vec gels(Matrix a, const Vec& b) {
  const int m = static_cast<int>(a.rows), n = static_cast<int>(a.cols);
  Vec x(0.0, std::max(m, n));
  std::copy(std::begin(b), std::end(b), std::begin(x));
  EXPECT_EQ(LAPACKE_dgels(LAPACK_ROW_MAJOR, 'N', m, n, 1, a.data(), n, &x[0], 1), 0);
  return x[std::slice(0, n, 1)];
}

// The minimum-norm least-squares solution (LAPACKE_dgelsd).
inline Vec gelsd(Matrix a, const Vec& b) {
  const int m = static_cast<int>(a.rows), n = static_cast<int>(a.cols);
  Vec x(0.0, std::max(m, n));
  std::copy(std::begin(b), std::end(b), std::begin(x));
  Vec sv(std::min(m, n));
  int rank = 0;
  EXPECT_EQ(LAPACKE_dgelsd(LAPACK_ROW_MAJOR, m, n, 1, a.data(), n, &x[0], 1, &sv[0], 1e-12, &rank),
            0);
  return x[std::slice(0, n, 1)];
}

// The solution of the symmetric positive definite S x = b (LAPACKE_dposv).
inline Vec posv(Matrix s, const Vec& b) {
  const int n = static_cast<int>(s.rows);
  Vec x = b;
  EXPECT_EQ(LAPACKE_dposv(LAPACK_ROW_MAJOR, 'U', n, 1, s.data(), n, &x[0], 1), 0);
  return x;
}

// The solution of the square A x = b (LAPACKE_dgesv).
inline Vec gesv(Matrix a, const Vec& b) {
  const int n = static_cast<int>(a.rows);
  Vec x = b;
  std::valarray<int> piv(n);
  EXPECT_EQ(LAPACKE_dgesv(LAPACK_ROW_MAJOR, n, 1, a.data(), n, &piv[0], &x[0], 1), 0);
  return x;
}

inline Vec times(const Matrix& a, const Vec& x) { return matrixVectorProduct(a, x); }

// J^T J + diag(d).
inline Matrix dampedNormalMatrix(const Matrix& J, const Vec& d) {
  Matrix s = transposed(J) * J;
  for (std::size_t i = 0; i < d.size(); ++i) s(i, i) += d[i];
  return s;
}

inline double maxAbsDiff(const Vec& a, const Vec& b) { return Vec(std::abs(a - b)).max(); }

inline std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++count;
  return count;
}

// Captures standard error while it lives (the solvers trace every step).
class StderrCapture {
 public:
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

}  // namespace step_test
