#pragma once
// What the trial steps of one iteration showed about the objective near the
// iteration's point x, and whether x is stationary as far as the
// objective's rounding lets anyone tell.
//
// An iteration that ends where it started is either converged (no step can
// show a decrease, because the objective's rounding hides any change the
// gradient predicts) or stalled (the point is not stationary, but nothing
// the method tried found a lower value). The gradient alone cannot tell
// these apart: how large a gradient the rounding hides depends on the
// rounding of the host's arithmetic and on the curvature, neither known in
// advance. The trials measure both:
//
//   rounding  rho = the largest change |f(x + a d) - f(x)| among the trials
//             whose predicted change |a d.g| is below eps |f(x)| (what they
//             show is rounding), and at least 4 eps |f(x)|;
//   flat      t   = the longest trial step |a| ||d|| whose value did not
//             rise above f(x) + rho: beyond it the curvature shows, below
//             it only the slope and the rounding do.
//
// A step of length t can show a slope only where slope * t exceeds rho; so
// x counts as stationary when even the gradient's full length could not
// have shown itself over the flat steps, and no trial went below
// f(x) - 2 rho (a decrease the rounding cannot explain):
//
//   ||g|| t <= 1000 rho.
//
// Along the direction d of a search that failed at the rounding level, the
// slope times the flat length is about rho, so ||g|| t / rho is about the
// inverse cosine of the angle between d and -g. A Newton direction on an
// ill-conditioned Hessian may lie far from -g and its failed search still
// shows x stationary, since the Newton step is the best step of the local
// model (Penalty function I comes near 1/cos = 200); a direction that
// leaves out most of the gradient (lifted eigenvalues cut away at a saddle)
// gives 1e4 and more, a gradient that does not belong to the objective
// predicts changes the values never show, and values that jump about at
// every representable step leave no flat trial at all. Without trials
// there is no evidence, and only a zero gradient is stationary; a
// non-finite gradient or objective never is.

#include <vector>

class StepEvidence {
 public:
  // A new iteration at a point with objective f.
  void reset(double f);

  // One trial: the objective at x + step d was `value`, where ||d|| =
  // directionNorm and slope = d.g is the predicted change per unit step
  // (NaN where it is not known: such a trial never measures the rounding).
  void add(double step, double directionNorm, double slope, double value);

  // x is stationary within the objective's rounding (see above), for a
  // gradient of norm gradientNorm.
  bool showsStationary(double gradientNorm) const;

  // The objective at x is not finite, or every trial gave a value that is
  // not (and there was one).
  bool objectiveNotFinite() const;

 private:
  struct Trial {
    double step, directionNorm, slope, value;
  };
  double f_ = 0.0;
  std::vector<Trial> trials_;
};
