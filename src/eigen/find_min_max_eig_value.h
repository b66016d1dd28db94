#pragma once
// Estimates of the smallest and largest eigenvalue of a Hessian known only
// as a block product (an n x c block V in, H V out), for the minimisation
// driver's search directions. Each estimate is cheap by default (the option
// evmin for the minimum; max |H 1| for the maximum) or, with the options
// fullMinEV / fullMaxEV, a block LOBPCG run on H or on -H.

#include <algorithm>
#include <cstdint>
#include <valarray>

#include "dense/matrix.h"
#include "dense/quiet_compare.h"
#include "eigen/lobpcg.h"
#include "eigen/lobpcg_blocks.h"
#include "linear/preconditioner.h"
#include "options/option_cast.h"
#include "options/opts.h"

template <class Op>
class FindMinMaxEigValueLopcg {
 public:
  double maxEV = 0.0;
  double minEV = 0.0;
  const Op& op;
  std::int64_t n;
  double tol;          // convergence threshold of the LOBPCG runs
  std::int64_t maxit;  // their iteration limit
  MatrixTemplate<double> Xmin;
  MatrixTemplate<double> Xmax;
  std::valarray<double> theta;

  FindMinMaxEigValueLopcg(const Op& op_, std::int64_t n_, double tol_, std::int64_t maxit_)
      : op(op_), n(n_), tol(tol_), maxit(maxit_) {}
  FindMinMaxEigValueLopcg(const Op&&, std::int64_t, double, std::int64_t) = delete;

  void update();

 private:
  // diag(d) R; with no diagonal (a negative preconditioner level) the
  // identity, so that the search space keeps its residual directions.
  struct DiagonalScaling {
    const std::valarray<double>* d;
    MatrixTemplate<double> operator()(const MatrixTemplate<double>& R) const {
      if (d->size() != R.rows) return R;
      return scaleCols(R, *d);
    }
  };

  // -H V.
  struct NegatedHessian {
    const Op* op;
    MatrixTemplate<double> operator()(const MatrixTemplate<double>& V) const {
      MatrixTemplate<double> minusV = V;
      minusV.elements = -minusV.elements;
      return (*op)(minusV);
    }
  };

  // The block size from the option evn, kept within [1, n].
  std::size_t blockSize() const {
    const long k = option_cast<long>(opts.evn, 1L);
    return static_cast<std::size_t>(std::clamp<long>(k, 1, std::max<long>(1, static_cast<long>(n))));
  }
};

template <class Op>
void FindMinMaxEigValueLopcg<Op>::update() {
  maxEV = minEV = 0.0;
  std::valarray<double> d;
  Preconditioner<Op> pre(op, n, tol, maxit);
  pre.update(d, option_cast<int>(opts.evprecond1, 0));
  const double estimate = pre.scale;
  const DiagonalScaling scaling{&d};
  MatrixTemplate<double> Y;
  const std::size_t rows = static_cast<std::size_t>(n > 0 ? n : 0);

  if (opts.fullMinEV == 0) {
    minEV = opts.evmin;
  } else {
    // Each run has its own result array: a run that locks nothing must
    // not report the other run's values.
    std::valarray<double> lambda;
    Xmin = lobpcg_blocks::randomBlock(rows, blockSize());
    Lobpcg<const Op&, DiagonalScaling> lobpcg(op, scaling, n, tol, maxit);
    lobpcg.solve(Xmin, Y, lambda, 1, theta);
    if (lambda.size() > 0) minEV = quietMinEntry(lambda);
  }

  if (opts.fullMaxEV == 0) {
    maxEV = estimate;
    return;
  }
  pre.update(d, option_cast<int>(opts.evprecond2, 0));
  std::valarray<double> lambda;
  Xmax = lobpcg_blocks::randomBlock(rows, blockSize());
  Lobpcg<NegatedHessian, DiagonalScaling> lobpcg(NegatedHessian{&op}, scaling, n, tol, maxit);
  lobpcg.solve(Xmax, Y, lambda, 1, theta);
  if (lambda.size() > 0) maxEV = -quietMinEntry(lambda);
}
