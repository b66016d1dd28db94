#include "linear/shifted_matrix_normal_equations.h"

#include <iostream>
#include <stdexcept>
#include <string>

namespace {

OptionMap augmentedOptions(const SizedMMPOperator& A) {
  const long m = A.dim_m(), n = A.dim_n();
  if (m < 0 || n < 0)
    throw std::invalid_argument("ShiftedMatrixNormalEquations: negative operator dimensions");
  return map_union(A.options, OptionMap{{"dim_m", m + n}, {"dim_n", n}});
}

void requireShape(const MatrixTemplate<double>& M, std::size_t rows, std::size_t cols,
                  const char* what) {
  if (M.rows != rows || M.cols != cols || M.elements.size() < rows * cols)
    throw std::invalid_argument(std::string("ShiftedMatrixNormalEquations: ") + what +
                                " has the wrong shape");
}

}  // namespace

ShiftedMatrixNormalEquations::ShiftedMatrixNormalEquations(const SizedMMPOperator& A_)
    : SizedMMPOperator(augmentedOptions(A_)),
      A(A_),
      m(A_.dim_m()),
      n(A_.dim_n()),
      shift(A_.getf("shift", 0.0)) {}

MatrixTemplate<double> ShiftedMatrixNormalEquations::matvecprod(
    const MatrixTemplate<double>& X) const {
  const std::size_t mm = static_cast<std::size_t>(m), nn = static_cast<std::size_t>(n);
  const std::size_t k = X.cols;
  requireShape(X, nn, k, "the block X");
  const MatrixTemplate<double> P = A.matvecprod(X);
  requireShape(P, mm, k, "the product A X");
  MatrixTemplate<double> R(mm + nn, k);
  for (std::size_t i = 0; i < mm * k; ++i) R.elements[i] = P.elements[i];
  if (shift != 0.0 || shift != shift)
    for (std::size_t i = 0; i < nn * k; ++i) R.elements[mm * k + i] = shift * X.elements[i];
  return R;
}

MatrixTemplate<double> ShiftedMatrixNormalEquations::matTvecprod(
    const MatrixTemplate<double>& Y) const {
  const std::size_t mm = static_cast<std::size_t>(m), nn = static_cast<std::size_t>(n);
  const std::size_t k = Y.cols;
  requireShape(Y, mm + nn, k, "the block Y");
  MatrixTemplate<double> T(mm, k);
  for (std::size_t i = 0; i < mm * k; ++i) T.elements[i] = Y.elements[i];
  MatrixTemplate<double> R = A.matTvecprod(T);
  const std::size_t nk = nn * k;
  if ((shift != 0.0 || shift != shift) && nk > 0) {
    const double* B = &Y.elements[mm * k];
    if (R.rows * R.cols == nk && R.elements.size() >= nk) {
      for (std::size_t i = 0; i < nk; ++i) R.elements[i] += shift * B[i];
    } else if (R.cols == nk && R.elements.size() >= R.rows * nk) {
      // A product shaped as rows of n*k values: the term goes into each row.
      for (std::size_t r = 0; r < R.rows; ++r)
        for (std::size_t i = 0; i < nk; ++i) R.elements[r * nk + i] += shift * B[i];
    } else {
      std::cerr << "invalid dims\n";
    }
  }
  return R;
}
