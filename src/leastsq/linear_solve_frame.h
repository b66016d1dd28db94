#pragma once
// What one matrix-free linear solve of a direction (SD3, SD5) carries into
// the linear-solver front end: a fresh stop record, a history checker from
// the "itctrl_*" options, and the solver settings, each under the key and
// in the kind its reader takes ("tol" a double, counts and modes long, the
// records as pointers). The frame lives on the direction's stack for the
// one solve; its records are never shared between solves.

#include <cstddef>
#include <valarray>

#include "linear/history_checker.h"
#include "linear/iteration_control.h"
#include "options/option_map.h"

class LinearSolveFrame {
 public:
  LinearSolveFrame();
  LinearSolveFrame(const LinearSolveFrame&) = delete;
  LinearSolveFrame& operator=(const LinearSolveFrame&) = delete;

  // "tol" (cgtol), "maxit" (cgmaxit), "cgmode", "cgreset", "cgrec",
  // "control" and "histcheck" (this frame's records).
  OptionMap solverOptions();

  IterationControl control{};
  SolverHistoryChecker checker;
};

// v -> v: the preconditioner argument of the front end, which the
// directions' methods do not use.
struct IdentityProduct {
  std::valarray<double> operator()(const std::valarray<double>& v) const { return v; }
};

// {"dim_m": rows (the output length), "dim_n": cols (the input length)}.
OptionMap dimensions(std::size_t rows, std::size_t cols);
