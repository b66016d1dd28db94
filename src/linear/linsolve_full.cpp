#include "linear/linsolve_full.h"

#include <iostream>
#include <variant>

#include <lapacke.h>

#include "dense/blas_int.h"
#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "dense/timer.h"
#include "dense/valarray_data.h"
#include "linear/dense_operators.h"
#include "linear/iteration_control.h"
#include "linear/linsolve_matfree.h"

namespace Zelk {

namespace {

IterationControl* requiredControl(const SizedOperator& options) {
  auto it = options.options.find("control");
  if (it == options.options.end()) throw std::bad_variant_access();
  return static_cast<IterationControl*>(std::get<void*>(it->second));
}

// Minimum-norm least squares by LAPACK's divide-and-conquer SVD solver. x is
// the solution when rows >= cols and stays x0 otherwise.
AlgoStatus denseLeastSquares(const MatrixTemplate<double>& A, const std::valarray<double>& b,
                             const std::valarray<double>& x0, std::valarray<double>& y,
                             const SizedOperator& options, const IterationControl* control,
                             double start) {
  std::valarray<double> x = x0;
  long rank = 0, info = 0;
  const int m = to_blas_int(A.rows, "linsolve_full rows");
  const int n = to_blas_int(A.cols, "linsolve_full cols");
  if (m >= n) {
    // LAPACK overwrites both copies: A with its factors, b with the solution.
    std::valarray<double> a = A.elements, rhs = b, s(0.0, static_cast<std::size_t>(n));
    lapack_int r = 0;
    info = quietly([&] {
      return LAPACKE_dgelsd(LAPACK_ROW_MAJOR, m, n, 1, dataOrNull(a), n, dataOrNull(rhs), 1,
                            dataOrNull(s), 1e-15, &r);
    });
    rank = r;
    for (int i = 0; i < n; ++i) x[static_cast<std::size_t>(i)] = rhs[static_cast<std::size_t>(i)];
    std::cerr << "Solve LS: rank " << rank << " of " << n << "\n";
  }
  y = matrixVectorProduct(A, x);
  const double relerr = relmaxnorm(y, b);
  y -= b;
  const OptionMap statusMap{
      {"status", info},
      {"it", rank},
      {"calls", control != nullptr ? static_cast<long>(control->calls) : 0L},
      {"residual", 0.0},
      {"relerr", relerr},
      {"wtime", get_wall_time() - start},
  };
  return AlgoStatus(map_union(options.options, statusMap), std::move(x));
}

}  // namespace

AlgoStatus linsolve_full(const std::string& method, const MatrixTemplate<double>& A,
                         const std::valarray<double>& b, const std::valarray<double>& x0,
                         std::valarray<double>& y, const SizedOperator& options) {
  const double start = get_wall_time();
  const IterationControl* control = requiredControl(options);
  // The products below read A.cols values of x and A.rows values of b.
  requireSameLength(b.size(), A.rows, "linsolve_full: b does not match the rows of A");
  requireSameLength(x0.size(), A.cols, "linsolve_full: x0 does not match the columns of A");

  if (method == "matrixvectorsolve" || method == "mvsolve")
    return denseLeastSquares(A, b, x0, y, options, control, start);

  const DenseProduct product{A};
  const DenseTransposedProduct transposedProduct{A};
  const IdentityProduct identity;
  const SizedVectorFunction<DenseProduct> opA(options.options, product);
  const SizedVectorFunction<DenseTransposedProduct> opAT(options.options, transposedProduct);
  const SizedVectorFunction<IdentityProduct> opP(options.options, identity);
  return linsolve_matfree(method, opA, opAT, opP, b, x0, y);
}

}  // namespace Zelk
