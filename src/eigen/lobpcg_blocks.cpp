#include "eigen/lobpcg_blocks.h"

#include <cmath>

#include "dense/decomposed_sym.h"
#include "dense/norms.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "options/opts.h"

namespace lobpcg_blocks {

std::valarray<double> column(const MatrixTemplate<double>& A, std::size_t j) {
  return A.elements[std::slice(j, A.rows, A.cols)];
}

void setColumn(MatrixTemplate<double>& A, std::size_t j, const std::valarray<double>& v) {
  A.elements[std::slice(j, A.rows, A.cols)] = v;
}

void appendColumn(MatrixTemplate<double>& A, const std::valarray<double>& v) {
  A = cbind(A, MatrixTemplate<double>(v.size(), 1, v));
}

namespace {

void removeComponent(std::valarray<double>& v, const std::valarray<double>& u) {
  addScaled(v, -dotProduct(u, v), u);
}

}  // namespace

void grams2(MatrixTemplate<double>& A, const MatrixTemplate<double>* B) {
  for (std::size_t c = 0; c < A.cols; ++c) {
    std::valarray<double> v = column(A, c);
    for (std::size_t i = 0; i < c; ++i) removeComponent(v, column(A, i));
    if (B != nullptr)
      for (std::size_t j = 0; j < B->cols; ++j) removeComponent(v, column(*B, j));
    // A zero remainder stays as the IEEE quotient (non-finite), computed
    // without raising a trap.
    const double len = normfro(v);
    for (double& e : v) e = quietDivide(e, len);
    setColumn(A, c, v);
  }
}

MatrixTemplate<double> randomBlock(std::size_t n, std::size_t k) {
  MatrixTemplate<double> X(n, k);
  randfill(X.elements);
  return X;
}

MatrixTemplate<double> residualBlock(const MatrixTemplate<double>& AX,
                                     const MatrixTemplate<double>& X,
                                     const std::valarray<double>& theta) {
  MatrixTemplate<double> R = AX;
  runQuietIf(!productSafeEntries(AX.elements, X.elements, theta), [&] {
    for (std::size_t i = 0; i < X.rows; ++i)
      for (std::size_t j = 0; j < X.cols; ++j) R(i, j) = AX(i, j) - X(i, j) * theta[j];
  });
  return R;
}

std::valarray<double> rotateToRitzVectors(MatrixTemplate<double>& X,
                                          const MatrixTemplate<double>& AX) {
  const MatrixTemplate<double> G = transposed(X) * AX;
  const DecomposedSymMatrix_syevd d(G, decompChecks());
  std::valarray<double> lambda(G.rows);
  for (std::size_t j = 0; j < lambda.size(); ++j) lambda[j] = d.s[j] * d.sign[j];
  MatrixTemplate<double> rotated;
  do_mult_blas(X, d.U, rotated, false);
  X = std::move(rotated);
  return lambda;
}

MatrixTemplate<double> timesRows(const MatrixTemplate<double>& P, const MatrixTemplate<double>& Z,
                                 std::size_t first, std::size_t count) {
  MatrixTemplate<double> rows(count, Z.cols,
                              Z.elements[std::slice(first * Z.cols, count * Z.cols, 1)]);
  MatrixTemplate<double> R;
  do_mult_blas(P, rows, R, false);
  return R;
}

}  // namespace lobpcg_blocks
