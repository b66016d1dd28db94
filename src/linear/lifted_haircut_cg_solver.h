#pragma once
// CG for A x = b, A symmetric with a few dominant eigenvalues, on a "haircut"
// operator: the k eigenvalues of largest magnitude are cut down to the
// magnitude of the (k + 1)-th through the filter
//
//   F(v) = v - V (s o (V^T v)),   s_j = 1 - |e_k| / |e_j|,
//
// with V the n x k block of their eigenvectors, and the product is lifted by
// the factor 1 + shift, shift = |e_k| * relshift. CG then solves
// (1 + shift) A F y = b, and x = (1 + shift) F y solves A x = b.
//
// The eigenpairs come from power iteration with deflation, recomputed on
// every solve; the search and the filter it yields are printed to standard
// error.

#include <cmath>
#include <cstdint>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <utility>
#include <valarray>

#include "dense/length_check.h"
#include "dense/matrix.h"
#include "linear/cg_solver.h"
#include "linear/projection_filters.h"
#include "linear/solver_base.h"

// The eigen-block of a haircut filter.
struct HaircutBlock {
  MatrixTemplate<double> basis;       // n x (pairs used, at most k): eigenvectors
  std::valarray<double> scales;       // one filter weight per basis column
  std::valarray<double> eigenvalues;  // k + 1 slots, largest magnitude first; 0 where not found
};

// Finds up to k + 1 dominant eigenpairs of the n x n operator A by power
// iteration (tolerance 1e-8, at most 10000 steps each) from fresh random
// starts, deflating the pairs found so far, and reports each on os. The
// search ends at the first pair that does not converge or is not finite;
// only the pairs found enter the basis and scales, so a short search never
// leaves a slot to be read or divided by. Needs 0 <= k.
HaircutBlock findHaircutBlock(
    const std::function<std::valarray<double>(const std::valarray<double>&)>& A, std::int64_t n,
    std::int64_t k, std::ostream& os);

// The setup lines of a haircut solve: eigenvalues, shift and scales.
void printHaircutSetup(std::ostream& os, const std::valarray<double>& eigenvalues,
                       const std::valarray<double>& scales, std::int64_t k, double relshift,
                       double shift);

template <class Op>
class LiftedHaircutCGSolver : public SolverBase {
 public:
  const Op* op;          // the operator A; not owned
  std::int64_t cgmode;   // handed to the inner CG
  std::int64_t cgrec;    // handed to the inner CG
  std::int64_t cgreset;  // handed to the inner CG
  double relshift;       // relative lift factor
  std::int64_t k;        // eigen-directions cut
  MatrixTemplate<double> basis;       // n x k eigenvectors, one per column
  std::valarray<double> scales;       // filter weights, one per basis column
  std::valarray<double> eigenvalues;  // k + 1 estimates, largest magnitude first

  // A negative k raises std::invalid_argument.
  LiftedHaircutCGSolver(const char* name_, std::int64_t n_, double tol_, double abstol_,
                        double divtol_, std::int64_t maxit_, const Op& op_, std::int64_t cgmode_,
                        std::int64_t cgrec_, std::int64_t cgreset_, double relshift_,
                        std::int64_t k_)
      : SolverBase(name_, n_, tol_, abstol_, divtol_, maxit_),
        op(&op_),
        cgmode(cgmode_),
        cgrec(cgrec_),
        cgreset(cgreset_),
        relshift(relshift_),
        k(k_ >= 0 ? k_ : throw std::invalid_argument("LiftedHaircutCGSolver: negative k")) {}
  LiftedHaircutCGSolver(const char*, std::int64_t, double, double, double, std::int64_t,
                        const Op&&, std::int64_t, std::int64_t, std::int64_t, double,
                        std::int64_t) = delete;

  // Recomputes basis, scales and eigenvalues. An n-dimensional operator has
  // at most n eigenpairs and the (k + 1)-th sets the level the others are
  // cut to, so k is first reduced to n - 1 when larger.
  void updateBase() {
    if (k > n - 1) k = n > 0 ? n - 1 : 0;
    auto apply = [this](const std::valarray<double>& v) { return (*op)(v); };
    HaircutBlock found = findHaircutBlock(apply, n, k, std::cerr);
    basis = std::move(found.basis);
    scales = std::move(found.scales);
    eigenvalues = std::move(found.eigenvalues);
  }

  // Solves A x = b from the start x0 (both of n values) and returns x. The
  // inner CG's residual, relerr, it and flags become this solver's.
  std::valarray<double> solve(const std::valarray<double>& b, const std::valarray<double>& x0) {
    requireSameLength(x0.size(), static_cast<std::size_t>(n),
                      "LiftedHaircutCGSolver: start vector length differs from n");
    updateBase();
    const double shift = std::fabs(eigenvalues[static_cast<std::size_t>(k)]) * relshift;
    printHaircutSetup(std::cerr, eigenvalues, scales, k, relshift, shift);

    const FilterBase filter(basis, scales);
    auto haircut = [this, &filter, shift](const std::valarray<double>& v) {
      std::valarray<double> y = (*op)(filter(v));
      for (std::size_t i = 0; i < y.size(); ++i) y[i] = y[i] + shift * y[i];
      return y;
    };
    CGSolver<decltype(haircut)> inner("CGSolver", n, tol, 1e-120, 1e14, maxit, haircut, cgmode,
                                      cgrec, cgreset);
    const std::valarray<double> y = inner.solve(b, x0, nullptr, nullptr);
    // The lift scales the solution of the filtered system down by 1 + shift;
    // undo that, so the caller gets the solution of A x = b itself.
    std::valarray<double> x = filter(y);
    if (shift != 0.0) x *= 1.0 + shift;

    residual = inner.residual;
    relerr = inner.relerr;
    it = inner.it;
    flags = inner.flags;
    return x;
  }
};
