#include "dense/lap_qr.h"

#include <fmt/format.h>
#include <lapacke.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <type_traits>

#include "dense/decomposed_general.h"
#include "dense/fp_class.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/timer.h"

static_assert(std::is_same_v<lapack_int, std::int32_t>,
              "the pivot vector is handed to LAPACK as 32-bit integers");

namespace {
using Matrix = MatrixTemplate<double>;
}  // namespace

LapQRDecomposed::LapQRDecomposed(const Matrix& A) : LapQRDecomposed(A, defaultDecompChecks()) {}

LapQRDecomposed::LapQRDecomposed(const Matrix& A, DecompChecks checks) : qr(A) {
  static constexpr const char* fn = "LapQRDecomposed";
  const int mi = to_blas_int(A.rows, fn), ni = to_blas_int(A.cols, fn);
  if (A.elements.size() < A.rows * A.cols)
    throw std::invalid_argument(fmt::format("{}: A holds {} entries, fewer than {} x {}", fn,
                                            A.elements.size(), A.rows, A.cols));
  m = static_cast<std::uint32_t>(mi);
  n = static_cast<std::uint32_t>(ni);
  k = std::min(m, n);
  tau.resize(m, 0.0);
  jpvt.assign(n, 0);

  {
    Timer timer("qr_");
    if (k > 0) {
      // Without traps (LAPACK's scaling overflows on purpose); a factor
      // left non-finite counts as a failure.
      lapackInfo = quietly([&] {
        return LAPACKE_dgeqp3(LAPACK_ROW_MAJOR, mi, ni, qr.data(), ni, jpvt.data(), &tau[0]);
      });
      if (lapackInfo == 0 && !(allFiniteBits(qr.elements) && allFiniteBits(tau)))
        lapackInfo = kNonFiniteFactors;
      // LAPACK may return before writing the pivots (a NaN in A): callers
      // index with them, so a failed factorisation still leaves a
      // permutation, the identity.
      if (lapackInfo != 0)
        for (std::uint32_t j = 0; j < n; ++j) jpvt[j] = static_cast<std::int32_t>(j + 1);
    } else {
      // No rows or no columns: nothing moves, every column stays in place.
      for (std::uint32_t j = 0; j < n; ++j) jpvt[j] = static_cast<std::int32_t>(j + 1);
      lapackInfo = 0;
    }
    std::cerr << "QR " << m << " x " << n << "\n";
  }

  R = Matrix(m, n);
  for (std::size_t i = 0; i < k; ++i)
    std::copy(qr.data() + i * n + i, qr.data() + (i + 1) * n, R.data() + i * n + i);

  if (checks == DecompChecks::on) {
    relErrDecomp = 0.0;
    relErrRecon = 0.0;
    relErrUnitary = unitaryError();
  }
}

void LapQRDecomposed::applyQT(std::valarray<double>& x) const {
  if (k == 0) return;
  quietly([&] {
    LAPACKE_dormqr(LAPACK_ROW_MAJOR, 'L', 'T', static_cast<int>(m), 1, static_cast<int>(k),
                   qr.data(), static_cast<int>(n), &tau[0], &x[0], 1);
  });
}

double LapQRDecomposed::unitaryError() const {
  // Q is built from the k = min(m, n) reflectors that exist; a wide matrix
  // has fewer than n of them.
  const int mi = to_blas_int(m, "LapQRDecomposed::unitaryError");
  Matrix q = eye(m, m);
  if (k > 0)
    quietly([&] {
      LAPACKE_dormqr(LAPACK_ROW_MAJOR, 'L', 'N', mi, mi, static_cast<int>(k), qr.data(),
                     static_cast<int>(n), &tau[0], q.data(), mi);
    });
  const Matrix identity = eye(m, m);
  return relativeError(normfro(transposed(q) * q - identity), normfro(q.elements));
}

int SolveTri::solve(std::valarray<double>& x, bool transpose) const {
  static constexpr const char* fn = "SolveTri::solve";
  if (rank > n)
    throw std::invalid_argument(fmt::format("{}: order {} exceeds the dimension {}", fn, rank, n));
  if (x.size() < n)
    throw std::invalid_argument(
        fmt::format("{}: x holds {} entries, the solution needs {}", fn, x.size(), n));
  if (rank > 0 && (factor == nullptr || factor->rows < rank ||
                   factor->elements.size() < static_cast<std::size_t>(rank) * n))
    throw std::invalid_argument(
        fmt::format("{}: no factor with a leading triangle of order {} and leading dimension {}",
                    fn, rank, n));
  int code = 0;
  {
    Timer timer("tr_");
    const int order = to_blas_int(rank, fn), ld = to_blas_int(n, fn);
    if (rank > 0)
      code = quietly([&] {
        return LAPACKE_dtrtrs(LAPACK_ROW_MAJOR, 'U', transpose ? 'T' : 'N', 'N', order, 1,
                              factor->data(), ld, &x[0], 1);
      });
    std::cerr << "TR " << rank << "\n";
  }
  for (std::size_t i = rank; i < n; ++i) x[i] = 0.0;
  return code;
}
