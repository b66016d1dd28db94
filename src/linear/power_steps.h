#pragma once
// Power iteration on a square operator B: steps x <- B x / ||B x|| with the
// Rayleigh quotient me = (B x) . x of a unit x and the residual ratio
// ||B x - me x|| / |me|.
//
//   powerSteps    the loop the eigenvalue iterations run (Zelk::maxeigen on
//                 A + shift I, Zelk::mineigen on a CG solve per step);
//   maxEigenPair  the plain iteration for the dominant eigenpair, which the
//                 lifted haircut CG and the least-squares directions call.
//
// It stands beside the operators, below the eigen solvers, because the
// haircut CG, a linear solver, runs it.

#include <cmath>
#include <cstddef>
#include <limits>
#include <valarray>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/operator_interfaces.h"
#include "linear/solve_deadline.h"
#include "options/option_map.h"

// x / ||x||; an empty x stays empty, a zero x becomes NaN (the first step
// then stops on its non-finite quotient).
void normaliseToUnit(std::valarray<double>& x);

// Where a power iteration ended.
struct PowerRun {
  double me = 0.0;   // last Rayleigh quotient
  double res = 0.0;  // last residual ratio ||B x - me x|| / |me|
  long it = 0;       // steps that ended without convergence
  bool nonFinite = false;
};

// Power steps from a unit x until the residual ratio falls below tol, the
// quotient turns non-finite, maxit steps ran or stop() (asked after each
// unconverged step) says so. x holds the last iterate.
template <class Op, class StopTest>
PowerRun powerSteps(const Op& B, std::valarray<double>& x, double tol, long maxit,
                    StopTest&& stop) {
  PowerRun run;
  while (run.it < maxit) {
    const std::valarray<double> y = B(x);
    // A power iteration needs a square operator; anything else would mix
    // vectors of different lengths below.
    requireSameLength(y.size(), x.size(),
                      "power iteration: operator output length differs from its input");
    run.me = dotProduct(y, x);
    if (!std::isfinite(run.me)) {
      // y - me x would meet inf * 0 or inf - inf; its ratio to |me| is NaN
      // whatever its entries are.
      run.res = std::numeric_limits<double>::quiet_NaN();
      run.nonFinite = true;
      break;
    }
    // A finite quotient means a finite y: an infinite or NaN entry of y
    // would have made y . x non-finite.
    // Its entries may still overflow when they are near the top of the range.
    std::valarray<double> r = y;
    addScaled(r, -run.me, x);
    run.res = quietDivide(normfro(r), std::fabs(run.me));
    const double len = normfro(y);
    x.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) x[i] = quietDivide(y[i], len);
    if (quietLess(run.res, tol)) break;
    if (stop()) break;
    ++run.it;
    if (SolveDeadline::passed()) break;
  }
  return run;
}

struct EigenPair {
  OptionMap info;                 // "res" (double), "it" (long)
  double eigenvalue = 0.0;        // last Rayleigh quotient; 0 when no step ran
  std::valarray<double> vector;   // the last iterate
};

// Power iteration on A from x0, or from n random entries when x0 is empty.
EigenPair maxEigenPair(const VectorOperator& A, long n, const std::valarray<double>& x0,
                       double tol, long maxit);
