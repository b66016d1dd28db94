#include "dense/decomposed_sym.h"

#include <fmt/format.h>
#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>

#include "dense/fp_class.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"

namespace {

using Matrix = MatrixTemplate<double>;

// The eigen solvers read an n x n triangle with leading dimension n; refuse
// anything else before LAPACK could read past the storage.
const Matrix& requireSquare(const Matrix& m, const char* fn, const char* name) {
  to_blas_int(m.rows, fn);
  if (m.rows != m.cols || m.elements.size() < m.rows * m.cols)
    throw std::invalid_argument(fmt::format("{}: {} must be square, got {} x {} ({} entries)", fn,
                                            name, m.rows, m.cols, m.elements.size()));
  return m;
}

// An n x n work copy of the leading n * n entries of a square matrix.
Matrix workCopy(const Matrix& m) {
  Matrix w(m.rows, m.cols);
  std::copy_n(m.data(), w.elements.size(), w.data());
  return w;
}

void reportFailure(int code) {
  if (code != 0) std::cerr << "decomp failed: " << code << "\n";
}

constexpr const char* kSyevd = "DecomposedSymMatrix_syevd";
constexpr const char* kSygvd = "DecomposedSymMatrixB_sygvd";

}  // namespace

DecomposedSymMatrix_syevd::DecomposedSymMatrix_syevd(const Matrix& A)
    : DecomposedSymMatrix_syevd(A, defaultDecompChecks()) {}

DecomposedSymMatrix_syevd::DecomposedSymMatrix_syevd(const Matrix& A, DecompChecks checks)
    : DecomposedGeneralMatrix(requireSquare(A, kSyevd, "A"), SvdShape::thin, checks) {
  symmetric = true;
  const int n = to_blas_int(A.cols, kSyevd);
  Matrix w = workCopy(A);
  U.reshape(n, n);
  s.resize(n, 0.0);
  VT.reshape(n, n);

  int code = n == 0 ? 0 : quietly([&] {
    return LAPACKE_dsyevd(LAPACK_ROW_MAJOR, 'V', 'U', n, w.data(), n, &s[0]);
  });
  if (code == 0 && !(allFiniteBits(s) && allFiniteBits(w.elements))) code = kNonFiniteFactors;
  reportFailure(code);
  // The preliminary SVD's code only stands when the eigen solver succeeded.
  if (code != 0) lapackInfo = code;
  U = w;

  sign.resize(n, 0.0);
  for (int j = 0; j < n; ++j) {
    sign[j] = quietGreater(s[j], 0.0) ? 1.0 : -1.0;
    for (int i = 0; i < n; ++i) VT(j, i) = sign[j] * U(i, j);
  }
  s = std::abs(s);

  if (checks == DecompChecks::on) computeErrors(A);
}

DecomposedSymMatrixB_sygvd::DecomposedSymMatrixB_sygvd(const Matrix& A, const Matrix& B_)
    : DecomposedSymMatrixB_sygvd(A, B_, defaultDecompChecks()) {}

DecomposedSymMatrixB_sygvd::DecomposedSymMatrixB_sygvd(const Matrix& A, const Matrix& B_,
                                                       DecompChecks checks)
    : DecomposedGeneralMatrix(requireSquare(A, kSygvd, "A"), SvdShape::thin, checks),
      B(requireSquare(B_, kSygvd, "B")) {
  if (B.rows != A.rows)
    throw std::invalid_argument(
        fmt::format("{}: A is {} x {} but B is {} x {}", kSygvd, A.rows, A.cols, B.rows, B.cols));
  symmetric = true;
  const int n = to_blas_int(A.cols, kSygvd);
  Matrix wa = workCopy(A), wb = workCopy(B);
  U.reshape(n, n);
  s.resize(n, 0.0);
  VT.reshape(n, n);

  lapackInfo = n == 0 ? 0 : quietly([&] {
    return LAPACKE_dsygvd(LAPACK_ROW_MAJOR, 1, 'V', 'U', n, wa.data(), n, wb.data(), n, &s[0]);
  });
  if (lapackInfo == 0 && !(allFiniteBits(s) && allFiniteBits(wa.elements)))
    lapackInfo = kNonFiniteFactors;
  reportFailure(lapackInfo);
  U = wa;

  if (checks == DecompChecks::on) {
    relErrDecomp = decompErrorM(A);
    relErrRecon = DecomposedGeneralMatrix::reconErrorM(A);
    relErrUnitary = unitaryError();
  }
}

double DecomposedSymMatrixB_sygvd::unitaryError() const {
  Matrix g = transposed(U) * B;
  do_mult_blas(g, U, g, false);
  do_binminus(g, g, eye(U.cols, U.cols));
  return relativeError(normfro(g.elements), std::sqrt(static_cast<double>(U.rows)));
}
