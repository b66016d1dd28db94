#pragma once
// Dense row-major matrix of doubles and its CBLAS-backed products.
//
// Entry (i, j) lives at elements[i * cols + j]. Transposes inside products and
// the product A^T * B are written as lazy expressions
//
//     MatrixTemplate<double> G = transposed(A) * B;       // one dgemm
//     double e = normfro(transposed(A) * B - M);         // ||A^T B - M||_F
//
// which never copy or materialise the transpose: it becomes the CBLAS
// transpose flag. The wrappers hold references to the matrices, so the
// matrices must outlive the expression; keep the expressions inside one full
// statement rather than storing them.
//
// Dimensions reach CBLAS as int, so no dimension may exceed INT_MAX; every
// operation that would hand a larger one to CBLAS throws std::length_error.
// Operations whose operands do not fit together (mismatched inner dimensions,
// too short vectors, blocks outside the matrix) throw std::invalid_argument or
// std::out_of_range instead of reading or writing outside the storage.

#include <cstddef>
#include <cstdint>
#include <valarray>

#include "dense/blas_int.h"
#include "dense/norms.h"

template <class T>
class MatrixTemplate;
template <class T>
struct TransposedMatrixTemplate;
template <class L, class R>
struct MatrixProduct;

// A block of consecutive columns: `count` columns starting at `first`.
struct columns {
  std::size_t first;
  std::size_t count;

  // The generalised slice that picks this block out of a row-major matrix of
  // the given shape, row by row.
  std::gslice indices(std::size_t rows, std::size_t cols) const {
    return std::gslice(first, std::valarray<std::size_t>{rows, count},
                       std::valarray<std::size_t>{cols, 1});
  }
};

template <class T>
class MatrixTemplate {
 public:
  std::valarray<T> elements;  // row-major; holds at least rows * cols entries
  std::size_t rows = 0;
  std::size_t cols = 0;

  MatrixTemplate() = default;

  // A zero-filled rows x cols matrix.
  MatrixTemplate(std::size_t rows_, std::size_t cols_)
      : elements(checkedCount(rows_, cols_)), rows(rows_), cols(cols_) {}

  // A rows x cols matrix holding `values` in row-major order; `values` must
  // have exactly rows * cols entries. A temporary vector is taken over
  // without a copy.
  MatrixTemplate(std::size_t rows_, std::size_t cols_, const std::valarray<T>& values);
  MatrixTemplate(std::size_t rows_, std::size_t cols_, std::valarray<T>&& values);

  // Evaluates A^T * B (A.cols x B.cols).
  MatrixTemplate(const MatrixProduct<TransposedMatrixTemplate<T>, MatrixTemplate<T>>& p) {
    assignTransposedProduct(p);
  }

  MatrixTemplate(const MatrixTemplate&) = default;
  MatrixTemplate(MatrixTemplate&&) noexcept = default;
  MatrixTemplate& operator=(MatrixTemplate&&) noexcept = default;
  MatrixTemplate& operator=(const MatrixTemplate& other) { return copyAssign(other); }
  MatrixTemplate& operator=(
      const MatrixProduct<TransposedMatrixTemplate<T>, MatrixTemplate<T>>& p) {
    return assignTransposedProduct(p);
  }
  MatrixTemplate& operator*=(const MatrixTemplate& b) { return multiplyAssign(b); }

  // Unchecked element access; (i, j) must lie inside the matrix.
  T& operator()(std::size_t i, std::size_t j) { return elements[i * cols + j]; }
  const T& operator()(std::size_t i, std::size_t j) const { return elements[i * cols + j]; }

  // The first entry of the storage, or nullptr when there is none.
  T* data() { return elements.size() ? &elements[0] : nullptr; }
  const T* data() const { return elements.size() ? &elements[0] : nullptr; }

  // Gives the matrix the shape rows x cols. The storage is replaced by a
  // zero-filled one only when its element count changes; otherwise the
  // entries stay as they are.
  void reshape(std::size_t rows_, std::size_t cols_) {
    std::size_t n = checkedCount(rows_, cols_);
    if (elements.size() != n) elements.resize(n);
    rows = rows_;
    cols = cols_;
  }

  // Copy of `other` (dims and entries); keeps the storage when the element
  // count already fits.
  MatrixTemplate& copyAssign(const MatrixTemplate& other);

  // *this = *this * b; b may be *this itself.
  MatrixTemplate& multiplyAssign(const MatrixTemplate& b);

  // *this = A^T * B, reusing the storage when the element count fits.
  MatrixTemplate& assignTransposedProduct(
      const MatrixProduct<TransposedMatrixTemplate<T>, MatrixTemplate<T>>& p);

  // The count x count block whose top-left corner is (first, first).
  MatrixTemplate sub(std::size_t first, std::size_t count) const;

  // The entries of a column block, row by row (rows * count entries).
  std::valarray<T> operator[](const columns& block) const;

  // rows * cols, refusing dimensions that CBLAS could not take.
  static std::size_t checkedCount(std::size_t rows_, std::size_t cols_) {
    return static_cast<std::size_t>(to_blas_int(rows_, "MatrixTemplate rows")) *
           static_cast<std::size_t>(to_blas_int(cols_, "MatrixTemplate cols"));
  }
};

extern template class MatrixTemplate<double>;

// A (possibly rectangular) diagonal matrix held as its diagonal: entry i of
// the diagonal stands at (i, i).
template <class T>
struct DiagMatrixTemplate {
  std::valarray<T> diagonal;
  std::uint32_t rows = 0;
  std::uint32_t cols = 0;

  DiagMatrixTemplate() = default;
  // Square, of the diagonal's length.
  explicit DiagMatrixTemplate(const std::valarray<T>& d)
      : DiagMatrixTemplate(d, d.size(), d.size()) {}
  DiagMatrixTemplate(const std::valarray<T>& d, std::size_t rows_, std::size_t cols_)
      : diagonal(d),
        rows(static_cast<std::uint32_t>(to_blas_int(rows_, "DiagMatrixTemplate rows"))),
        cols(static_cast<std::uint32_t>(to_blas_int(cols_, "DiagMatrixTemplate cols"))) {}
};

// Stands for the transpose of a matrix inside a product; never materialised.
template <class T>
struct TransposedMatrixTemplate {
  const MatrixTemplate<T>& matrix;
};

// How a lazy expression keeps an operand: matrices by reference (never
// copied), the small wrapper objects by value so that an expression built
// from a temporary wrapper stays valid.
template <class X>
struct LazyOperand {
  using type = const X&;
};
template <class T>
struct LazyOperand<TransposedMatrixTemplate<T>> {
  using type = TransposedMatrixTemplate<T>;
};
template <class L, class R>
struct LazyOperand<MatrixProduct<L, R>> {
  using type = MatrixProduct<L, R>;
};

// The lazy product L * R.
template <class L, class R>
struct MatrixProduct {
  typename LazyOperand<L>::type lhs;
  typename LazyOperand<R>::type rhs;
};

// Operation codes of two-operand lazy expressions.
enum class EFunction : int { minus = 2 };

// A lazy two-operand expression `lhs op rhs`.
template <class L, class R, class Op = EFunction>
struct ExpResult2 {
  typename LazyOperand<L>::type lhs;
  typename LazyOperand<R>::type rhs;
  Op op;
};

template <class T>
TransposedMatrixTemplate<T> transposed(const MatrixTemplate<T>& a) {
  return TransposedMatrixTemplate<T>{a};
}

template <class T>
MatrixProduct<TransposedMatrixTemplate<T>, MatrixTemplate<T>> operator*(
    TransposedMatrixTemplate<T> at, const MatrixTemplate<T>& b) {
  return {at, b};
}

template <class L, class R, class T>
ExpResult2<MatrixProduct<L, R>, MatrixTemplate<T>> operator-(const MatrixProduct<L, R>& p,
                                                             const MatrixTemplate<T>& m) {
  return {p, m, EFunction::minus};
}

using TransposedProduct = MatrixProduct<TransposedMatrixTemplate<double>, MatrixTemplate<double>>;

// y = A * x (A.rows entries); x needs at least A.cols entries.
std::valarray<double> matrixVectorProduct(const MatrixTemplate<double>& a,
                                          const std::valarray<double>& x);

// y = A^T * x (A.cols entries); x needs at least A.rows entries.
std::valarray<double> matrixTransposeVectorProduct(const TransposedMatrixTemplate<double>& at,
                                                   const std::valarray<double>& x);

// The same product with the matrix itself standing for its transpose.
inline std::valarray<double> matrixTransposeVectorProduct(const MatrixTemplate<double>& a,
                                                          const std::valarray<double>& x) {
  return matrixTransposeVectorProduct(transposed(a), x);
}

// R = A * B, or R += A * B when `accumulate` is set and R already has the
// shape A.rows x B.cols (with any other element count R is reset to zero
// first, so the result is A * B alone). R ends up A.rows x B.cols and may be
// A or B itself.
void do_mult_blas(const MatrixTemplate<double>& a, const MatrixTemplate<double>& b,
                  MatrixTemplate<double>& r, bool accumulate);

// The transposed copy A^T.
MatrixTemplate<double> do_transpose(const MatrixTemplate<double>& a);

// r x c matrix with ones on the leading diagonal, zeros elsewhere.
MatrixTemplate<double> eye(std::size_t r, std::size_t c);

// A's columns followed by B's. The result has max(A.rows, B.rows) rows; the
// rows below the shorter operand's last row are zero in its column block.
MatrixTemplate<double> cbind(const MatrixTemplate<double>& a, const MatrixTemplate<double>& b);

// D * B: row i of B scaled by d_i, D.rows x B.cols; rows past the diagonal's
// length are zero.
MatrixTemplate<double> operator*(const DiagMatrixTemplate<double>& d,
                                 const MatrixTemplate<double>& b);

// diag(v) * A: row i of A scaled by v[i]; v needs exactly A.rows entries.
MatrixTemplate<double> scaleCols(const MatrixTemplate<double>& a, const std::valarray<double>& v);

// (A^T + A) * 0.5, shaped like A^T.
MatrixTemplate<double> mksym(const MatrixTemplate<double>& a);

// R = A - B entry by entry, R taking A's shape; B needs at least as many
// entries as A. R may be A or B itself.
void do_binminus(MatrixTemplate<double>& r, const MatrixTemplate<double>& a,
                 const MatrixTemplate<double>& b);

// ||A^T B - M||_F, the sum of squares taken from the last entry to the first.
double normfro(const ExpResult2<TransposedProduct, MatrixTemplate<double>>& e);
