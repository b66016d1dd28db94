#pragma once
// The choice of an iteration's direction and step length among the
// direction kinds of the least-squares driver.

#include <valarray>
#include <vector>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"
#include "options/search_dir.h"

// What the iteration steps with: x + move * direction, move = +-length.
struct StepChoice {
  bool chosen = false;  // a kind won; otherwise the run's previous direction is used
  SearchDir kind = SearchDir::None;
  std::valarray<double> direction;
  double length = 1.0;  // s
  double move = 1.0;    // a: s, or -s along a reversed direction
  double slope = 0.0;   // the winning line search's slope value
  int code = 0;         // the winning line search's Wolfe code
};

// Builds one direction per kind (in the list's order) at x, with r = F(x),
// f its objective and J the iteration's Jacobian (empty for a matrix-free
// run), and picks one:
//
// - Fixed step (option alpha non-zero, NaN included): each kind's point
//   x + alpha d is evaluated, and the kind with the lowest objective wins,
//   the first of equal ones; a point or value that is not finite never
//   wins. The step length is alpha, also when no kind wins.
// - Otherwise one line search per kind along d, reversed (status bit 0x20)
//   where the objective climbs along d. A result without a finite step and
//   objective is rejected (bit 0x40), one that fails the "wolcheck" level
//   too (bit 0x80); of the others the lowest objective wins, the first of
//   equal ones. With none and enableFallback set, the kinds of SD0, SD1,
//   SD2, SD4, SD3, SD5, SD6 not tried yet are tried from the end of that
//   list backwards, skipping SD2 and SD4 without a Jacobian callback, until
//   one is accepted. Without a winner the step length is 1.
//
// r may receive F(x) again from the product callbacks; nothing else of the
// point changes.
StepChoice chooseStep(TrovikOptimizationTask& task, const std::vector<SearchDir>& kinds,
                      const std::valarray<double>& x, std::valarray<double>& r, double f,
                      const MatrixTemplate<double>& J);
