#pragma once
// What one least-squares line search knows: the point x with its residual
// r and objective f0 = evalFunc(r), the direction d, the objective's slope
// g0 along d at x, and the sign the search runs with. The driver builds it
// on its stack for one search; the search only adds to the trial cache and
// works in the trial buffers.
//
// When the driver found g0 > 0 it reverses the direction: directionSign is
// -1 and the trial of step length alpha is x + directionSign * alpha * d.
// Step lengths are always positive; the slopes the Wolfe tests compare are
// taken along the searched direction, directionSign * g.

#include <map>
#include <string>
#include <valarray>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"

// Scratch of the trial evaluations: after an evaluation they hold its
// point x_t, its residual r_t and, with a slope, J d at x_t.
struct TrialBuffers {
  std::valarray<double> point;
  std::valarray<double> residual;
  std::valarray<double> product;
  MatrixTemplate<double> jacobian;  // only without a Jacobian-vector callback
};

struct LineSearchContext {
  TrovikOptimizationTask& task;              // residuals, products, recorded trials
  const std::valarray<double>& r;            // residual at x (its length is m)
  double f0;                                 // evalFunc(r)
  const std::valarray<double>& x;            // current point (n entries)
  const std::valarray<double>& d;            // search direction (n entries)
  double g0;                                 // objectiveSlope(r, J d): dF/dt of F(x + t d) at 0
  double directionSign = 1.0;                // +1, or -1 for a reversed direction
  std::map<double, double> trialCache = {};  // step length -> objective, this search's
  TrialBuffers buffers = {};

  // g0 along the searched direction.
  double searchSlope() const { return directionSign * g0; }
};

// One evaluated trial: its step length, objective, slope along the searched
// direction (0 when no slope was computed) and Wolfe code.
struct Trial {
  double alpha = 0.0;
  double J = 0.0;
  double slope = 0.0;
  int code = 0;
};

// The check both searches start with: true, after the message "Linesearch
// <name>: Warning: direction length 0: <g0>" and status bit 0x40, when the
// context's slope g0 is 0 (no side to search).
bool zeroSlope(const LineSearchContext& context, const std::string& name);
