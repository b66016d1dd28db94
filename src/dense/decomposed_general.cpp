#include "dense/decomposed_general.h"

#include <cblas.h>
#include <fmt/format.h>
#include <lapacke.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "dense/fp_class.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"

namespace {

using Matrix = MatrixTemplate<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Which values of s a tolerance keeps. The values need not be sorted (an
// eigen decomposition holds |lambda| in ascending-lambda order), so each one
// is judged on its own against the largest magnitude. A zero is never kept,
// so it is never inverted; a NaN is never cut.
struct ValueCut {
  double hi = 0.0;   // largest magnitude (NaN ignored)
  double lo = 0.0;   // smallest magnitude (NaN ignored)
  double thr = 0.0;  // tol * hi, the absolute cut
  std::valarray<bool> kept;
  unsigned rank = 0;

  ValueCut(const std::valarray<double>& s, double tol) : kept(false, s.size()) {
    if (s.size() == 0) return;
    hi = std::fabs(s[0]);
    lo = hi;
    for (double v : s) {
      hi = std::fmax(hi, std::fabs(v));
      lo = std::fmin(lo, std::fabs(v));
    }
    // tol * hi, saturating instead of overflowing.
    thr = quietGreater(hi, 1.0) && quietGreater(std::fabs(tol), DBL_MAX / hi)
              ? std::copysign(kInf, tol)
              : tol * hi;
    for (std::size_t i = 0; i < s.size(); ++i) {
      kept[i] = !quietLess(std::fabs(s[i]), thr) && s[i] != 0.0;
      if (kept[i]) ++rank;
    }
  }

  // The weight given to a value that is not kept in cap mode. A zero base
  // (tol 0, or nothing but zeros) caps at 0: a zero is never inverted.
  double capValue() const {
    const double base = quietGreater(lo, thr) ? lo : thr;
    return base == 0.0 ? 0.0 : quietDivide(1.0, base);
  }
};

void printIDiag(double tol, const ValueCut& cut, unsigned inverted, unsigned cleared,
                unsigned capped, unsigned unchanged) {
  std::cerr << "IDiag: tol " << tol << " max " << cut.hi << " min " << cut.lo << "\n"
            << "IDiag: " << inverted << " inverted " << cleared << " cleared " << capped
            << " capped at " << cut.capValue() << ", " << unchanged << " left unchanged\n";
}

// C (m x n, leading dimension n) = A * B^T over an inner dimension k, with A
// stored with leading dimension lda and B with ldb. Empty shapes are handled
// here because CBLAS rejects a zero leading dimension.
void gemmNT(std::size_t m, std::size_t n, std::size_t k, const double* a, std::size_t lda,
            const double* b, std::size_t ldb, double* c, const char* fn) {
  const int mi = to_blas_int(m, fn), ni = to_blas_int(n, fn), ki = to_blas_int(k, fn);
  const int ldai = to_blas_int(lda, fn), ldbi = to_blas_int(ldb, fn);
  if (m == 0 || n == 0) return;
  if (k == 0) {
    std::fill(c, c + m * n, 0.0);
    return;
  }
  const QuietFpScope quiet;  // BLAS and LAPACK run without traps
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, mi, ni, ki, 1.0, a, ldai, b, ldbi, 0.0, c,
              ni);
}

}  // namespace

DecomposedGeneralMatrix::DecomposedGeneralMatrix(const Matrix& A, SvdShape shape)
    : DecomposedGeneralMatrix(A, shape, defaultDecompChecks()) {}

DecomposedGeneralMatrix::DecomposedGeneralMatrix(const Matrix& A, SvdShape shape,
                                                 DecompChecks checks)
    : a(A) {
  computeSVD(shape);
  if (checks == DecompChecks::on) computeErrors(A);
}

void DecomposedGeneralMatrix::computeSVD(SvdShape shape) {
  static constexpr const char* fn = "DecomposedGeneralMatrix::computeSVD";
  const int m = to_blas_int(a.rows, fn), n = to_blas_int(a.cols, fn);
  if (a.elements.size() < a.rows * a.cols)
    throw std::invalid_argument(fmt::format("{}: the work matrix holds {} entries, fewer than {} x {}",
                                            fn, a.elements.size(), a.rows, a.cols));
  const int k = std::min(m, n);
  thin = shape == SvdShape::thin;
  s.resize(k, 0.0);
  sign.resize(k, 0.0);

  int ldu = m;
  if (thin && m < n) {
    U.reshape(m, m);
    VT.reshape(m, n);
  } else if (thin) {
    U.reshape(m, n);
    VT.reshape(n, n);
    ldu = n;
  } else {
    U.reshape(m, m);
    VT.reshape(n, n);
  }

  if (k == 0) {
    // Nothing to factorise; any orthogonal U and VT fit, so take identities.
    U = eye(U.rows, U.cols);
    VT = eye(VT.rows, VT.cols);
    lapackInfo = 0;
  } else {
    // LAPACK's scaling computes overflowing intermediates on purpose: it
    // runs without traps, and factors it leaves non-finite (from NaN,
    // infinite or overflowing entries of A) count as a failure.
    lapackInfo = quietly([&] {
      return LAPACKE_dgesdd(LAPACK_ROW_MAJOR, thin ? 'S' : 'A', m, n, a.data(), n, &s[0],
                            U.data(), ldu, VT.data(), n);
    });
    if (lapackInfo == 0 && !(allFiniteBits(s) && allFiniteBits(U.elements) &&
                             allFiniteBits(VT.elements)))
      lapackInfo = kNonFiniteFactors;
  }

  if (U.rows == VT.cols) {
    // A square matrix: the sign tells whether the pair (u_i, v_i) points the
    // same way, which for a symmetric matrix is the sign of its eigenvalue.
    const int uc = to_blas_int(U.cols, fn);
    for (int i = 0; i < k; ++i) {
      const double d = quietly([&] {
        return cblas_ddot(n, U.data() + i, uc, VT.data() + static_cast<std::size_t>(i) * n, 1);
      });
      sign[i] = quietGreater(d, 0.0) ? 1.0 : -1.0;
    }
  } else {
    sign = 1.0;
  }
}

void DecomposedGeneralMatrix::computeErrors(const Matrix& A) {
  relErrDecomp = decompErrorM(A);
  relErrRecon = DecomposedGeneralMatrix::reconErrorM(A);
  relErrUnitary = DecomposedGeneralMatrix::unitaryError();
}

double DecomposedGeneralMatrix::decompErrorM(const Matrix& A) const {
  const DiagMatrixTemplate<double> d(s, U.cols, VT.rows);
  Matrix p;
  do_mult_blas(U, d * VT, p, false);
  do_binminus(p, p, A);
  return relativeError(normfro(p.elements), normfro(A.elements));
}

double DecomposedGeneralMatrix::reconErrorM(const Matrix& A) const {
  static constexpr const char* fn = "DecomposedGeneralMatrix::reconErrorM";
  const Matrix t = transposed(U) * A;
  if (t.cols != VT.cols || VT.elements.size() < VT.rows * VT.cols)
    throw std::invalid_argument(fmt::format("{}: A has {} columns, VT is {} x {}", fn, A.cols,
                                            VT.rows, VT.cols));
  Matrix r(t.rows, VT.rows);
  gemmNT(t.rows, VT.rows, t.cols, t.data(), t.cols, VT.data(), VT.cols, r.data(), fn);
  const std::size_t d = std::min({VT.rows, U.cols, s.size()});
  for (std::size_t i = 0; i < d; ++i) r(i, i) -= s[i];
  return relativeError(normfro(r.elements), normfro(A.elements));
}

double DecomposedGeneralMatrix::unitaryError() const {
  const Matrix identity = eye(U.cols, U.cols);
  return relativeError(normfro(transposed(U) * U - identity), normfro(U.elements));
}

DecompInfo DecomposedGeneralMatrix::info(double tol) const {
  DecompInfo r;
  const std::size_t k = s.size();
  if (k == 0) return r;
  const ValueCut cut(s, tol);
  r.rank = cut.rank;
  r.mins = s[0];
  r.maxs = s[0];
  for (double v : s) {
    r.mins = std::fmin(r.mins, v);
    r.maxs = std::fmax(r.maxs, v);
  }
  r.abstol = cut.thr;
  r.cond = cut.lo == 0.0 ? kInf : quietDivide(cut.hi, cut.lo);

  // Largest and smallest kept magnitudes, and the largest magnitude cut.
  bool anyKept = false, anyCut = false;
  double largestCut = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    const double v = std::fabs(s[i]);
    if (cut.kept[i]) {
      r.maxnzs = anyKept ? std::fmax(r.maxnzs, v) : v;
      r.minnzs = anyKept ? std::fmin(r.minnzs, v) : v;
      anyKept = true;
    } else {
      largestCut = anyCut ? std::fmax(largestCut, v) : v;
      anyCut = true;
    }
  }
  if (anyKept) {
    r.nzcond = quietDivide(r.maxnzs, r.minnzs);
    if (anyCut) r.cutoff = largestCut == 0.0 ? kInf : quietDivide(r.minnzs, largestCut);
  }
  return r;
}

std::valarray<double> DecomposedGeneralMatrix::idiag(double tol, unsigned& rank, bool clear,
                                                     bool cap) const {
  const ValueCut cut(s, tol);
  const double capValue = cut.capValue();
  std::valarray<double> d(s);
  unsigned inverted = 0, cleared = 0, capped = 0, unchanged = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (cut.kept[i]) {
      d[i] = quietDivide(1.0, s[i]);
      ++inverted;
    } else if (clear) {
      d[i] = 0.0;
      ++cleared;
    } else if (cap) {
      d[i] = capValue;
      ++capped;
    } else {
      ++unchanged;
    }
  }
  rank = cut.rank;
  printIDiag(tol, cut, inverted, cleared, capped, unchanged);
  return d;
}

Matrix DecomposedGeneralMatrix::resol(double tol) const {
  static constexpr const char* fn = "DecomposedGeneralMatrix::resol";
  const ValueCut cut(s, tol);
  // Only the value pairs that exist take part: a full-mode factor has more
  // vectors than values, and those extra vectors belong to zero values.
  const std::size_t k = std::min({s.size(), VT.rows, U.cols});
  const std::size_t n = VT.cols, m = U.rows;
  if (VT.elements.size() < VT.rows * n || U.elements.size() < m * U.cols)
    throw std::invalid_argument(fmt::format("{}: factor storage shorter than its shape", fn));

  unsigned inverted = 0, unchanged = 0;
  std::valarray<double> w(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (cut.kept[i]) {
      w[i] = quietDivide(1.0, s[i]);
      ++inverted;
    } else {
      w[i] = s[i];
      ++unchanged;
    }
  }
  printIDiag(tol, cut, inverted, 0, 0, unchanged);

  // W = V_k * diag(w), n x k; column j is w_j times row j of VT.
  Matrix W(n, k);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = 0; i < n; ++i) W(i, j) = w[j] * VT(j, i);
  Matrix r(n, m);
  gemmNT(n, m, k, W.data(), k, U.data(), U.cols, r.data(), fn);
  return r;
}
