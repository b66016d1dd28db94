#pragma once
// Dense problems, counting product closures and LAPACK oracles for the step
// solver tests.

#include <gtest/gtest.h>
#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <valarray>
#include <vector>

#include "dense/decomp_test_util.h"
#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/vector_kernels.h"
#include "steps/scaling_record.h"
#include "support/fp_traps.h"

namespace step_test {

using Matrix = MatrixTemplate<double>;
using Vec = std::valarray<double>;

using decomp_test::randomMatrix;

// Every test of the step solvers runs under the drivers' traps (invalid,
// divide-by-zero, overflow), the LAPACK oracles included.
class DriverTraps : public testing::Environment {
  void SetUp() override { guard_.emplace(); }
  void TearDown() override { guard_.reset(); }
  std::optional<FpTrapGuard> guard_;
};
inline testing::Environment* const kDriverTraps =
    testing::AddGlobalTestEnvironment(new DriverTraps);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline Vec randomVector(std::size_t n, unsigned seed) { return randomMatrix(n, 1, seed).elements; }

// A r x c matrix of rank `rank`: the product of random r x rank and rank x c
// factors.
inline Matrix lowRankMatrix(std::size_t r, std::size_t c, std::size_t rank, unsigned seed) {
  return randomMatrix(r, rank, seed) *= randomMatrix(rank, c, seed + 1);
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
    EXPECT_EQ(in.size(), transpose ? A.rows : A.cols);
    EXPECT_EQ(out.size(), transpose ? A.cols : A.rows);
    EXPECT_TRUE(allFinite(in)) << "a product was handed a non-finite input";
    out = transpose ? matrixTransposeVectorProduct(A, in) : matrixVectorProduct(A, in);
    if (calls == poison) out[0] = kNaN;
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
  mutable std::vector<double> inputs{};  // the kept inputs, one after the other

  void operator()(const Vec& in, Vec& out) const {
    const std::size_t k = A.rows == 0 ? 0 : in.size() / A.rows;
    counts.push_back(k);
    EXPECT_EQ(in.size(), k * A.rows);
    EXPECT_EQ(out.size(), k * A.cols);
    EXPECT_TRUE(allFinite(in)) << "a product was handed a non-finite input";
    if (keep) inputs.insert(inputs.end(), std::begin(in), std::end(in));
    if (k == 0) return;
    Matrix W(k, A.rows, in);
    out = std::move((W *= A).elements);
    if (static_cast<int>(counts.size()) == poison) out[0] = kNaN;
  }
};

// min ||A x - b|| for a full-rank A (LAPACKE_dgels), or its minimum-norm
// solution for any A (LAPACKE_dgelsd).
inline Vec gels(Matrix a, const Vec& b, bool minimumNorm = false) {
  const int m = static_cast<int>(a.rows), n = static_cast<int>(a.cols);
  Vec x(0.0, std::max(m, n)), sv(std::min(m, n));
  std::copy(std::begin(b), std::end(b), std::begin(x));
  int rank = 0;
  EXPECT_EQ(minimumNorm ? LAPACKE_dgelsd(LAPACK_ROW_MAJOR, m, n, 1, a.data(), n, &x[0], 1, &sv[0],
                                         1e-12, &rank)
                        : LAPACKE_dgels(LAPACK_ROW_MAJOR, 'N', m, n, 1, a.data(), n, &x[0], 1),
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
inline double relDiff(const Vec& a, const Vec& b) { return normfro(a - b) / normfro(b); }

// The column norms of J: the usual scaling diagonal.
inline Vec columnNorms(const Matrix& J) {
  Vec d(0.0, J.cols);
  for (std::size_t i = 0; i < J.rows; ++i)
    for (std::size_t j = 0; j < J.cols; ++j) d[j] += J(i, j) * J(i, j);
  return std::sqrt(d);
}

// The Levenberg-Marquardt step p(alpha): LAPACKE_dgels on
// [J; sqrt(alpha) D] p = [-r; 0].
inline Vec dampedStep(const Matrix& J, const Vec& minusR, const Vec& D, double alpha) {
  Matrix S(J.rows + J.cols, J.cols);
  std::copy(std::begin(J.elements), std::end(J.elements), std::begin(S.elements));
  for (std::size_t i = 0; i < J.cols; ++i) S(J.rows + i, i) = std::sqrt(alpha) * D[i];
  Vec rhs(0.0, J.rows + J.cols);
  rhs[std::slice(0, J.rows, 1)] = minusR;
  return gels(S, rhs);
}

// J with its three counting closures (J v, J^T w, the block J^T W). The
// closures refer to J: a copy would dangle.
struct Closures {
  explicit Closures(Matrix a) : J(std::move(a)) {}
  Closures(const Closures&) = delete;
  Matrix J;
  DenseProduct Jv{J};
  DenseProduct JTw{J, true};
  DenseBlockTransposed JTW{J};
  int products() const { return Jv.calls + JTw.calls + static_cast<int>(JTW.counts.size()); }
};

// A least-squares problem for the Levenberg-Marquardt steps: J with its
// closures, -r and the scaling record, D the column norms of J by default.
struct LSProblem : Closures {
  LSProblem(Matrix j, Vec mr, Vec D = {}) : Closures(std::move(j)), minusR(std::move(mr)) {
    scaling.D = DiagMatrixTemplate<double>(D.size() ? D : columnNorms(J));
  }
  Vec minusR;
  ScalingRecord scaling;
};

// Drops standard error while it lives (the solvers trace every step).
struct StderrCapture {
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() { testing::internal::GetCapturedStderr(); }
};

// Runs f with its standard error dropped.
template <class F>
void withoutStderr(F&& f) {
  StderrCapture quiet;
  f();
}

}  // namespace step_test
