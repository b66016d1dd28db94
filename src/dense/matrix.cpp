#include "dense/matrix.h"

// BLAS runs without traps (QuietFpScope): its kernels may meet, and make,
// overflowing or non-finite values that the callers test for.

#include <cblas.h>
#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "dense/fp_class.h"
#include "dense/quiet_scope.h"

namespace {

using Matrix = MatrixTemplate<double>;

// Checks that a matrix's dimensions fit CBLAS and that its storage holds the
// rows * cols entries the BLAS routines will read. Callers may set rows and
// cols directly, so this is checked at every entry into CBLAS.
void requireShape(const Matrix& m, const char* fn, const char* name) {
  std::size_t r = static_cast<std::size_t>(to_blas_int(m.rows, fn));
  std::size_t c = static_cast<std::size_t>(to_blas_int(m.cols, fn));
  if (m.elements.size() < r * c)
    throw std::invalid_argument(
        fmt::format("{}: {} holds {} entries, fewer than its {} x {} shape needs", fn, name,
                    m.elements.size(), r, c));
}

void requireInner(std::size_t left, std::size_t right, const char* fn, const Matrix& a,
                  const Matrix& b) {
  if (left != right)
    throw std::invalid_argument(fmt::format("{}: operand shapes {} x {} and {} x {} do not fit", fn,
                                            a.rows, a.cols, b.rows, b.cols));
}

// y = op(A) * x + beta * y for a row-major m x n matrix A with leading
// dimension n; op is A or A^T. Handles the empty cases without calling CBLAS,
// which rejects a zero leading dimension and, for an empty inner dimension,
// would leave y unscaled.
void gemv(CBLAS_TRANSPOSE trans, std::size_t m, std::size_t n, const double* a, const double* x,
          double beta, double* y, const char* fn) {
  const int mi = to_blas_int(m, fn), ni = to_blas_int(n, fn);
  const std::size_t leny = trans == CblasNoTrans ? m : n;
  const std::size_t lenx = trans == CblasNoTrans ? n : m;
  if (leny == 0) return;
  if (lenx == 0) {
    if (beta == 0.0) std::fill(y, y + leny, 0.0);
    return;
  }
  const QuietFpScope quiet;
  cblas_dgemv(CblasRowMajor, trans, mi, ni, 1.0, a, ni, x, 1, beta, y, 1);
}

// C = op(A) * op(B) + beta * C, C m x n row-major with leading dimension n,
// inner dimension k; lda and ldb are the column counts of the stored A and B.
void gemm(CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, std::size_t m, std::size_t n, std::size_t k,
          const double* a, std::size_t lda, const double* b, std::size_t ldb, double beta,
          double* c, const char* fn) {
  const int mi = to_blas_int(m, fn), ni = to_blas_int(n, fn), ki = to_blas_int(k, fn);
  const int ldai = to_blas_int(lda, fn), ldbi = to_blas_int(ldb, fn);
  if (m == 0 || n == 0) return;
  if (k == 0) {
    if (beta == 0.0) std::fill(c, c + m * n, 0.0);
    return;
  }
  const QuietFpScope quiet;
  cblas_dgemm(CblasRowMajor, ta, tb, mi, ni, ki, 1.0, a, ldai, b, ldbi, beta, c, ni);
}

// Checks that A * B can be formed; done before any target is touched.
void requireProduct(const Matrix& a, const Matrix& b, const char* fn) {
  requireShape(a, fn, "A");
  requireShape(b, fn, "B");
  requireInner(a.cols, b.rows, fn, a, b);
}

// out = A * B + beta * out, out holding A.rows * B.cols entries, operands
// checked by requireProduct. A single-row A or single-column B goes to dgemv,
// everything else to dgemm.
void product(const Matrix& a, const Matrix& b, double* out, double beta, const char* fn) {
  if (a.rows == 1)
    gemv(CblasTrans, b.rows, b.cols, b.data(), a.data(), beta, out, fn);
  else if (b.cols == 1)
    gemv(CblasNoTrans, a.rows, a.cols, a.data(), b.data(), beta, out, fn);
  else
    gemm(CblasNoTrans, CblasNoTrans, a.rows, b.cols, a.cols, a.data(), a.cols, b.data(), b.cols,
         beta, out, fn);
}

// Copies the rows of `src` into the column block starting at `col0` of `dst`,
// from row 0 down; dst has at least src.rows rows.
void placeColumns(Matrix& dst, const Matrix& src, std::size_t col0) {
  for (std::size_t i = 0; i < src.rows; ++i)
    std::copy_n(src.data() + i * src.cols, src.cols, dst.data() + i * dst.cols + col0);
}

}  // namespace

template <class T>
MatrixTemplate<T>::MatrixTemplate(std::size_t rows_, std::size_t cols_,
                                  const std::valarray<T>& values)
    : MatrixTemplate(rows_, cols_, std::valarray<T>(values)) {}

template <class T>
MatrixTemplate<T>::MatrixTemplate(std::size_t rows_, std::size_t cols_, std::valarray<T>&& values)
    : elements(std::move(values)), rows(rows_), cols(cols_) {
  if (elements.size() != checkedCount(rows_, cols_))
    throw std::invalid_argument(fmt::format("MatrixTemplate: {} values given for a {} x {} matrix",
                                            elements.size(), rows_, cols_));
}

template <class T>
MatrixTemplate<T>& MatrixTemplate<T>::copyAssign(const MatrixTemplate& other) {
  if (this == &other) return *this;
  if (elements.size() != other.elements.size()) elements.resize(other.elements.size());
  elements = other.elements;
  rows = other.rows;
  cols = other.cols;
  return *this;
}

template <class T>
MatrixTemplate<T>& MatrixTemplate<T>::multiplyAssign(const MatrixTemplate& b) {
  static constexpr const char* fn = "MatrixTemplate::multiplyAssign";
  requireProduct(*this, b, fn);
  std::valarray<T> result(checkedCount(rows, b.cols));
  // The result goes to a separate buffer, so CBLAS reads both operands before
  // *this is overwritten; A *= A is safe.
  product(*this, b, result.size() ? &result[0] : nullptr, 0.0, fn);
  elements = std::move(result);
  cols = b.cols;
  return *this;
}

template <class T>
MatrixTemplate<T>& MatrixTemplate<T>::assignTransposedProduct(
    const MatrixProduct<TransposedMatrixTemplate<T>, MatrixTemplate<T>>& p) {
  static constexpr const char* fn = "MatrixTemplate::assignTransposedProduct";
  const MatrixTemplate& a = p.lhs.matrix;
  const MatrixTemplate& b = p.rhs;
  if (this == &a || this == &b) {
    MatrixTemplate tmp(p);
    return *this = std::move(tmp);
  }
  requireShape(a, fn, "A");
  requireShape(b, fn, "B");
  requireInner(a.rows, b.rows, fn, a, b);
  reshape(a.cols, b.cols);
  gemm(CblasTrans, CblasNoTrans, a.cols, b.cols, b.rows, a.data(), a.cols, b.data(), b.cols, 0.0,
       data(), fn);
  return *this;
}

template <class T>
MatrixTemplate<T> MatrixTemplate<T>::sub(std::size_t first, std::size_t count) const {
  if (first > rows || first > cols || count > rows - first || count > cols - first)
    throw std::out_of_range(
        fmt::format("MatrixTemplate::sub: block of order {} at {} lies outside a {} x {} matrix",
                    count, first, rows, cols));
  requireShape(*this, "MatrixTemplate::sub", "the matrix");
  MatrixTemplate r(count, count);
  for (std::size_t i = 0; i < count; ++i)
    std::copy_n(data() + (first + i) * cols + first, count, r.data() + i * count);
  return r;
}

template <class T>
std::valarray<T> MatrixTemplate<T>::operator[](const columns& block) const {
  if (block.first > cols || block.count > cols - block.first)
    throw std::out_of_range(
        fmt::format("MatrixTemplate::operator[]: {} columns from column {} lie outside {} columns",
                    block.count, block.first, cols));
  requireShape(*this, "MatrixTemplate::operator[]", "the matrix");
  if (block.count == 1) return elements[std::slice(block.first, rows, cols)];
  return elements[block.indices(rows, cols)];
}

template class MatrixTemplate<double>;

std::valarray<double> matrixVectorProduct(const Matrix& a, const std::valarray<double>& x) {
  static constexpr const char* fn = "matrixVectorProduct";
  requireShape(a, fn, "A");
  if (x.size() < a.cols)
    throw std::invalid_argument(
        fmt::format("{}: x has {} entries, A has {} columns", fn, x.size(), a.cols));
  std::valarray<double> y(a.rows);
  gemv(CblasNoTrans, a.rows, a.cols, a.data(), x.size() ? &x[0] : nullptr, 0.0,
       y.size() ? &y[0] : nullptr, fn);
  return y;
}

std::valarray<double> matrixTransposeVectorProduct(const TransposedMatrixTemplate<double>& at,
                                                   const std::valarray<double>& x) {
  static constexpr const char* fn = "matrixTransposeVectorProduct";
  const Matrix& a = at.matrix;
  requireShape(a, fn, "A");
  if (x.size() < a.rows)
    throw std::invalid_argument(
        fmt::format("{}: x has {} entries, A has {} rows", fn, x.size(), a.rows));
  std::valarray<double> y(a.cols);
  gemv(CblasTrans, a.rows, a.cols, a.data(), x.size() ? &x[0] : nullptr, 0.0,
       y.size() ? &y[0] : nullptr, fn);
  return y;
}

void do_mult_blas(const Matrix& a, const Matrix& b, Matrix& r, bool accumulate) {
  if (&r == &a || &r == &b) {
    // CBLAS must not write into an operand it is still reading.
    Matrix tmp;
    if (accumulate) tmp = r;
    do_mult_blas(a, b, tmp, accumulate);
    r = std::move(tmp);
    return;
  }
  requireProduct(a, b, "do_mult_blas");
  // Every case, the dgemv shortcuts included, leaves R shaped A.rows x B.cols;
  // R keeps its entries (for accumulation) only when the count already fits.
  r.reshape(a.rows, b.cols);
  product(a, b, r.data(), accumulate ? 1.0 : 0.0, "do_mult_blas");
}

Matrix do_transpose(const Matrix& a) {
  requireShape(a, "do_transpose", "A");
  Matrix r(a.cols, a.rows);
  if (a.rows == 1 || a.cols == 1) {
    std::copy_n(a.data(), r.elements.size(), r.data());
    return r;
  }
  for (std::size_t j = 0; j < a.cols; ++j)
    for (std::size_t i = 0; i < a.rows; ++i)
      r.elements[j * a.rows + i] = a.elements[i * a.cols + j];
  return r;
}

Matrix eye(std::size_t r, std::size_t c) {
  Matrix m(r, c);
  const std::size_t n = std::min(r, c);
  for (std::size_t i = 0; i < n; ++i) m.elements[i * (c + 1)] = 1.0;
  return m;
}

Matrix cbind(const Matrix& a, const Matrix& b) {
  requireShape(a, "cbind", "A");
  requireShape(b, "cbind", "B");
  Matrix r(std::max(a.rows, b.rows), a.cols + b.cols);
  placeColumns(r, a, 0);
  placeColumns(r, b, a.cols);
  return r;
}

Matrix operator*(const DiagMatrixTemplate<double>& d, const Matrix& b) {
  static constexpr const char* fn = "operator*(DiagMatrixTemplate, MatrixTemplate)";
  requireShape(b, fn, "B");
  const std::size_t n = d.diagonal.size();
  if (n > d.rows || n > b.rows)
    throw std::invalid_argument(fmt::format(
        "{}: diagonal of {} entries for {} result rows and {} rows of B", fn, n, d.rows, b.rows));
  Matrix r(d.rows, b.cols);
  if (b.cols == 0) return r;
  const int ncols = to_blas_int(b.cols, fn);
  const QuietFpScope quiet;
  for (std::size_t i = 0; i < n; ++i)
    cblas_daxpy(ncols, d.diagonal[i], b.data() + i * b.cols, 1, r.data() + i * b.cols, 1);
  return r;
}

Matrix scaleCols(const Matrix& a, const std::valarray<double>& v) {
  if (v.size() != a.rows)
    throw std::invalid_argument(
        fmt::format("scaleCols: {} scale factors for a matrix of {} rows", v.size(), a.rows));
  return DiagMatrixTemplate<double>(v) * a;
}

Matrix mksym(const Matrix& a) {
  Matrix r = do_transpose(a);
  double* p = r.data();
  const double* q = a.data();
  runQuietIf(!productSafeEntries(a.elements), [&] {
    for (std::size_t k = 0; k < r.elements.size(); ++k) p[k] = (p[k] + q[k]) * 0.5;
  });
  return r;
}

void do_binminus(Matrix& r, const Matrix& a, const Matrix& b) {
  const std::size_t n = a.elements.size();
  if (b.elements.size() < n)
    throw std::invalid_argument(fmt::format(
        "do_binminus: B holds {} entries, fewer than the {} of A", b.elements.size(), n));
  if (&r == &b && &r != &a) {
    // Writing A into R first would overwrite B before it is read.
    Matrix tmp;
    do_binminus(tmp, a, b);
    r = std::move(tmp);
    return;
  }
  r = a;
  double* p = r.data();
  const double* q = b.data();
  for (std::size_t k = 0; k < n; ++k) p[k] -= q[k];
}

double normfro(const ExpResult2<TransposedProduct, Matrix>& e) {
  Matrix p(e.lhs);
  do_binminus(p, p, e.rhs);
  return normfro(p.elements);
}
