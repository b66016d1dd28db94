#pragma once
// The Gauss-Newton model of the least-squares objective at a point: the
// part P t of a vector t in the range of the Jacobian J, the part the full
// Gauss-Newton step removes (t = r for the norms of "ussum", whose
// gradient J^T r / ||r|| vanishes exactly where P r does; the weights for
// the sums), and the diagonal of the projection P.
//
// With the dense Jacobian, from a pivoted QR of J with its columns scaled
// to unit length (the range is J's; the pivoting and the cut below then do
// not depend on the variables' units); on the products alone, from a
// Golub-Kahan bidiagonalisation started at J^T t, whose Krylov spaces are
// those of the least-squares problem J y ~ t, run to its own test (the new
// direction's alpha below 1e-10 of the first) or n steps. Directions that
// J scales by less than 1e-10 of its largest do not change r within its
// rounding (a Jacobian of low rank, a redundant parameter) and are left
// out.

#include <cstddef>
#include <limits>
#include <valarray>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"

struct GaussNewtonRange {
  double inRange = std::numeric_limits<double>::quiet_NaN();  // ||P t||
  // The diagonal of P (m entries): how much of residual i's own noise
  // reaches the range, sum_i P_ii sigma_i^2 in all being the mean square
  // of P e for independent noise e_i of spread sigma_i.
  std::valarray<double> leverage;
  std::size_t rank = 0;  // of the kept directions
  bool known() const;
};

// From J (m x n, the iteration's, finite) and t (m entries). Nothing known
// for an empty J, a J or t that is not finite, or a failed factorisation.
GaussNewtonRange denseGaussNewtonRange(const MatrixTemplate<double>& J,
                                       const std::valarray<double>& t);

// From the host's products at (x, r): 1 + 2 k products for k steps, each
// counted as the host's. Nothing known where a product is not finite.
GaussNewtonRange productGaussNewtonRange(TrovikOptimizationTask& task,
                                         const std::valarray<double>& x,
                                         const std::valarray<double>& r,
                                         const std::valarray<double>& t);
