// SD4: Gauss-Newton on the leading singular values. With the thin SVD
// J = U diag(s) V^T,
//
//     d = -V diag(g) U^T r,   g_i = 1 / s_i for s_i >= 1e-7 s_0,
//
// and, below the cut, the small weight g_i = s_i of truncatedSVDSolve's
// minimum rank n: the least-squares step restricted to the directions that
// J resolves to seven digits.
//
// Matrix-free: min ||J d + r|| by LSRN, conjugate gradients preconditioned
// by the SVD of a random sketch of J with 2n rows (oversampling 2.0), the
// sketch built through block J^T products.

#include <iostream>

#include "dense/printers.h"
#include "leastsq/host_products.h"
#include "leastsq/search_directions.h"
#include "leastsq/truncated_svd_solve.h"
#include "options/opts.h"
#include "steps/lsrn_step_solver.h"

Direction truncatedSvdDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r) {
  const DecomposedGeneralMatrix svd(J, SvdShape::thin, decompChecks());
  return truncatedSVDSolve(svd, J.cols, -r, 1e-7);
}

Direction randomizedLeastSquaresDirectionMatrixFree(TrovikOptimizationTask& task,
                                                    const std::valarray<double>& x,
                                                    std::valarray<double>& r) {
  const auto m = static_cast<std::uint32_t>(r.size()), n = static_cast<std::uint32_t>(x.size());
  const HostProducts products(task, x, r);
  LSRNStepSolver<JProduct, JTProduct, JTBlockProduct> solver(m, n, products.J, products.JT,
                                                             products.JTB, 2.0);
  const Direction b = -r;
  Direction d;
  const std::int32_t code = solver.solve(b, d);
  std::cerr << "LSRN: " << code << ": ";
  solver.print(std::cerr);
  std::cerr << "\n"
            << "LSRN res = " << d << "\n";
  return d;
}
