#include "steps/krylov_basis.h"

#include <cblas.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"

void growRows(MatrixTemplate<double>& M, std::size_t capacity) {
  MatrixTemplate<double> grown(capacity, M.cols);
  const std::size_t keep = std::min(M.rows, capacity) * M.cols;
  std::copy(std::begin(M.elements), std::begin(M.elements) + keep, std::begin(grown.elements));
  M = std::move(grown);
}

void growSquare(MatrixTemplate<double>& M, std::size_t capacity) {
  MatrixTemplate<double> grown(capacity, capacity);
  const std::size_t keep = std::min(M.rows, capacity);
  for (std::size_t i = 0; i < keep; ++i)
    for (std::size_t j = 0; j < std::min(M.cols, capacity); ++j) grown(i, j) = M(i, j);
  M = std::move(grown);
}

void orthogonalizeAgainstRows(const MatrixTemplate<double>& B, std::size_t count,
                              std::valarray<double>& v, double* h) {
  const int len = to_blas_int(B.cols, "orthogonalizeAgainstRows");
  for (std::size_t j = 0; j < count; ++j) {
    const double* bj = B.data() + j * B.cols;
    const double c = rowDot(B, j, v);
    quietly([&] { cblas_daxpy(len, -c, bj, 1, &v[0], 1); });
    if (h != nullptr) h[j] = c;
  }
}

bool appendOrthonormalRow(MatrixTemplate<double>& B, std::size_t i, std::valarray<double>& v,
                          double& orth) {
  orthogonalizeAgainstRows(B, i, v);
  if (normalize(v) == 0.0) return false;
  orth = i > 0 ? std::fabs(rowDot(B, 0, v)) : 0.0;
  setRow(B, i, v);
  return true;
}

double normalize(std::valarray<double>& v) {
  const double nv = normfro(v);
  if (nv == 0.0) return nv;
  // 1 / nv overflows for a subnormal norm; entry-wise quotients never do.
  const int len = to_blas_int(v.size(), "normalize");
  if (quietGreaterEqual(nv, DBL_MIN))
    quietly([&] { cblas_dscal(len, 1.0 / nv, &v[0], 1); });
  else
    quietly([&] { v /= nv; });
  return nv;
}

std::valarray<double> randomUnitVector(std::size_t n) {
  std::valarray<double> v = randvec(static_cast<long>(n));
  if (normalize(v) == 0.0 && n > 0) v = 1.0 / std::sqrt(static_cast<double>(n));
  return v;
}

std::valarray<double> freshDirection(const MatrixTemplate<double>& B, std::size_t count) {
  if (count >= B.cols) return std::valarray<double>(0.0, B.cols);
  std::valarray<double> v = randomUnitVector(B.cols);
  for (int pass = 0; pass < 2; ++pass) {
    orthogonalizeAgainstRows(B, count, v);
    // Relative to the unit start, a remainder at the rounding level means
    // the rows span everything.
    if (normalize(v) <= 1e-8) return std::valarray<double>(0.0, B.cols);
  }
  return v;
}

double rowDot(const MatrixTemplate<double>& M, std::size_t i, const std::valarray<double>& v) {
  if (M.cols == 0) return 0.0;
  const int len = to_blas_int(M.cols, "rowDot");
  return quietly([&] { return cblas_ddot(len, M.data() + i * M.cols, 1, &v[0], 1); });
}

std::valarray<double> row(const MatrixTemplate<double>& M, std::size_t i) {
  return std::valarray<double>(M.data() + i * M.cols, M.cols);
}

void setRow(MatrixTemplate<double>& M, std::size_t i, const std::valarray<double>& v) {
  std::copy(std::begin(v), std::end(v), M.data() + i * M.cols);
}
