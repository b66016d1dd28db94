// How a host calls the linear-solve entry point in matrix-free mode: a random
// dense 50 x 50 system A x = b is kept on the host side, and the library only
// sees a product callback. The callback applies the normal-equations matrix
// A^T A, so the same function serves as the operator and as its transpose.

#include <cblas.h>

#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <valarray>

#include "dense/matrix.h"
#include "zelk/zelkcomp.h"

namespace {

// Resizes A to m x n and b to m, then draws row i of A followed by b_i, row
// by row.
void fill_random_system(MatrixTemplate<double>& A, std::valarray<double>& b, std::size_t m,
                        std::size_t n) {
  A = MatrixTemplate<double>(m, n);
  b.resize(m, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) A(i, j) = drand48();
    b[i] = drand48();
  }
}

// y = A^T A x. The context leads, by two dereferences, to a pointer to A.
// Returns 1, writing nothing, when the lengths do not fit A.
int normal_matvec_callback(const double* x, long n, double* y, long m, void* context) {
  const MatrixTemplate<double>& A = ***static_cast<MatrixTemplate<double>***>(context);
  const long rows = static_cast<long>(A.rows), cols = static_cast<long>(A.cols);
  if (n != cols || m > cols) return 1;

  std::valarray<double> G(static_cast<std::size_t>(cols * cols));
  cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, static_cast<int>(cols),
              static_cast<int>(cols), static_cast<int>(rows), 1.0, A.data(),
              static_cast<int>(cols), A.data(), static_cast<int>(cols), 0.0, &G[0],
              static_cast<int>(cols));
  std::valarray<double> t(static_cast<std::size_t>(cols));
  cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(cols), static_cast<int>(cols), 1.0,
              &G[0], static_cast<int>(cols), x, 1, 0.0, &t[0], 1);
  for (long i = 0; i < m; ++i) y[i] = t[static_cast<std::size_t>(i)];
  return 0;
}

}  // namespace

int main() {
  srand48(static_cast<long>(std::time(nullptr)));
  std::cout.precision(16);
  std::cerr.precision(16);

  constexpr std::size_t size = 50;
  MatrixTemplate<double> A(size, size);
  std::valarray<double> b(size), work(0.0, size), x0(0.0, size);
  fill_random_system(A, b, size, size);

  std::valarray<double> x(size);
  IterativeResult result{};
  const char* names[] = {"cgtol"};
  const double values[] = {1e-12};
  MatrixTemplate<double>* pA = &A;
  MatrixTemplate<double>** ppA = &pA;

  const int rc = zelkcomp_linsolve("cgnormal", nullptr, &b[0], &x0[0], &x[0], nullptr,
                                   static_cast<long>(size), static_cast<long>(size),
                                   normal_matvec_callback, normal_matvec_callback, nullptr,
                                   nullptr, &result, names, values, 1, &ppA);

  std::cerr << "CG Result: " << rc << " "
            << "IterativeResult(status=" << result.status << ", it=" << result.it
            << ", residual=" << result.residual << ", relerr=" << result.relerr << ")"
            << "\n";
  return 0;
}
