#pragma once
// The settings every CG-type linear-solve method reads from its operator's
// options, and the CGSolver built from them.

#include <cstdint>

#include "linear/cg_solver.h"
#include "linear/sized_operator.h"

struct CGSettings {
  double tol;
  long cgreset;
  long cgrec;
  long cgmode;
  long maxit;
};

// Reads "tol" (double), then "cgreset", "cgrec", "cgmode" and "maxit"
// (long), all required: a missing key or another kind raises
// std::bad_variant_access.
CGSettings readCGSettings(const SizedOperator& options);

// A "CGSolver" over op for n unknowns with the fixed floor 1e-120 and
// divergence limit 1e14. The solver keeps a pointer to op.
template <class Op>
CGSolver<Op> makeCGSolver(const CGSettings& s, std::int64_t n, const Op& op) {
  return CGSolver<Op>("CGSolver", n, s.tol, 1e-120, 1e14, s.maxit, op, s.cgmode, s.cgrec,
                      s.cgreset);
}
