#pragma once
// Minimal-residual solver for a symmetric (possibly indefinite) system
// A x = b. Each step extends the search space by the newest direction pair
// (p, s = A p), orthogonalised against the two previous pairs, and moves x
// along it so that ||b - A x|| is least over the space.

#include <cstdint>
#include <valarray>

#include "linear/iteration_control.h"
#include "linear/sized_operator.h"
#include "options/option_map.h"

class MINRESSolver {
 public:
  OptionMap options;             // a copy of the operator's options
  const SizedVectorOperator* op;  // not owned
  std::int32_t dim_m;
  std::int32_t dim_n;
  double tol;             // stop when relerr < tol
  std::int32_t maxit;     // step limit
  std::int32_t flags = 0;  // 32: the control record asked to stop
  std::int32_t it = 0;     // steps completed without convergence
  double residual = 0.0;  // ||r|| after the last step
  double relerr = 0.0;    // residual / ||b||

  // Reads "tol" (double) and "maxit" (long) from the operator's options,
  // both required; another kind raises std::bad_variant_access. A "maxit"
  // beyond the 32-bit range saturates. A non-square operator ("dim_m" !=
  // "dim_n") raises std::invalid_argument.
  explicit MINRESSolver(const SizedVectorOperator& A);

  // x holds the start on entry and the solution on return. control may be
  // null; when its state turns non-zero the run stops with flag 32.
  void solve(const std::valarray<double>& b, std::valarray<double>& x,
             IterationControl* control = nullptr);
};
