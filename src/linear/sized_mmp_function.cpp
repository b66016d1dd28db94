#include "linear/sized_mmp_function.h"

#include <stdexcept>

MatrixTemplate<double> applyColumnwise(const VectorOperator& op, std::size_t outRows,
                                       const MatrixTemplate<double>& X,
                                       const IterationControl* control) {
  const std::size_t rows = X.rows, cols = X.cols;
  if (X.elements.size() < rows * cols)
    throw std::invalid_argument("applyColumnwise: block storage smaller than its shape");
  MatrixTemplate<double> Y(outRows, cols);
  std::valarray<double> column(rows);
  for (std::size_t i = 0; i < cols && !stopRequested(control); ++i) {
    for (std::size_t r = 0; r < rows; ++r) column[r] = X.elements[r * cols + i];
    const std::valarray<double> y = op(column);
    if (y.size() < outRows)
      throw std::length_error("applyColumnwise: operator returned fewer values than expected");
    for (std::size_t r = 0; r < outRows; ++r) Y.elements[r * cols + i] = y[r];
  }
  return Y;
}

MatrixTemplate<double> ColumnProduct::operator()(const MatrixTemplate<double>& X) const {
  if (outRows < 0) throw std::invalid_argument("ColumnProduct: negative row count");
  return applyColumnwise(op, static_cast<std::size_t>(outRows), X, control);
}
