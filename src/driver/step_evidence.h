#pragma once
// What the trial steps of one iteration showed about the objective near the
// iteration's point x, and whether x is stationary as far as the
// objective's rounding lets anyone tell. Both drivers judge every
// iteration that made no progress by it.
//
// An iteration that makes no progress (no step, a refused step, or a step
// whose decrease the rounding of f can explain) is either converged (no
// step can show a decrease, because the rounding of f hides any change
// left to make) or stalled (x is not stationary, but nothing the method
// tried found a lower value). The evidence:
//
//   rounding  rho = the largest change |f(x_t) - f(x)| among the trials
//             whose predicted change |t d.g| is below eps |f(x)| (what
//             they show is rounding), and at least 4 eps |f(x)| and 4
//             times the noise the driver measured (setNoise): an objective
//             computed from terms much larger than itself, such as the
//             norm of small residuals each rounded at the scale of its
//             data, varies far more than eps |f| from point to point.
//
// Only a trial point that differs from x carries evidence: a step so short
// that x + t d == x (or a zero direction) evaluates f(x) again and says
// nothing about the objective around x.
//
// Against stationarity, each on its own:
//   - a trial below f(x) - 2 rho: a decrease the rounding cannot explain;
//   - values that rise to first order along a direction: the shortest
//     trial on one side whose rise is plainly visible (at least 16 rho)
//     and the next such trial at least twice as far fix
//     f(x + s u) - f(x) = sigma s + c s^2 / 2 (s the distance from x
//     along u), and sigma > 0 with c <= 0 or sigma^2 / 2c > 4 rho says
//     that f falls by more than the rounding on the other side of x, or
//     nearer to it. At a minimum the rise is of second order (sigma
//     vanishes within the rounding); a gradient that points the wrong way
//     (the search climbed along the objective's own slope) gives the first
//     order rise. Flat values along a direction the gradient calls steep
//     are no evidence either way: a gradient's rounding does that along
//     directions where f does not change at all (a Jacobian of low rank).
//
// A trial says something only where what it can show is above the noise:
// its predicted change |t d.g| (where that is not known, ||g|| times its
// length) above rho. One at or below it cannot speak for stationarity,
// however far it moved x (a value it finds below f(x) - 2 rho is still a
// decrease): a trust region shrunk to the rounding of x, or a direction
// nearly at right angles to g, tries steps that no gradient could make
// visible.
//
// A local model of f at x settles it where it can (the driver that has one
// says what it promises: the decrease at the model's best step):
//   - a promise of at most 2 rho speaks for stationarity: the model itself
//     sees nothing any trial could show, whatever the direction searched.
//     This is what certifies a minimum whose Hessian is badly
//     conditioned, where the Newton direction lies far from -g and g
//     itself may be far from small (a fit to 9 digits at a nonzero
//     residual), and a small-residual fit at the noise of its residuals;
//   - a promise of at most 1e4 rho speaks for it too once a trial that
//     says something failed to find it. The slack is for the Gauss-Newton
//     model, which leaves out the residuals' own curvature and at a
//     nonzero residual promises more than any step gives (Penalty
//     function II, n = 10: some 400 rho at its minimum); away from a
//     minimum the models promise a fair part of f itself, 1e14 rho and
//     more. Untested, such a promise is a decrease that may be there to
//     take (a constant part of f that puts the whole fit within 1e3 rho);
//   - a larger promise from a model of every direction at x (the Hessian;
//     +inf for a direction of negative curvature) speaks against it; one
//     that may leave curvature out (Gauss-Newton, a shifted solve) does
//     not.
// Where no model settles it, the gradient speaks for stationarity when its
// full length could not have shown itself over the flat trials: with t
// the longest trial step whose value stayed within f(x) + rho,
// ||g|| t <= 1000 rho. Along the direction d of a search that failed at
// the rounding level, the slope times the flat length is about rho, so
// ||g|| t / rho is about the inverse cosine of the angle between d and -g;
// the slack lets a direction stray from -g by that much (Penalty function
// I with its Hessian comes near 200), while a direction that leaves out
// most of the gradient (lifted eigenvalues cut away at a saddle) gives 1e4
// and more. Next to a model, which gives the scale on which f varies, a
// flat trial counts here only when it says something, or when some trial
// reached a value that moved by more than rho (the flat stretch then lies
// inside the scale on which f shows itself, as along a trust region's
// tries shrinking from a rise); without one, the lengths the search tried
// are the only scale there is, and every flat trial that moved x counts.
// Where no trial says anything and none is flat, only a gradient that no
// move on the scale of x (||x||, or the longest trial) could show over rho
// is negligible. A zero gradient is stationary whatever the trials.
//
// Without trials or a model there is no evidence, and only a zero or
// negligible gradient is stationary; a non-finite gradient or objective
// never is.
//
// An iteration that did make progress may still have crawled: a search
// that found a sliver of what the model promised (a line search deep in a
// curved valley) lowers f by less than any tolerance on the step, far from
// a minimum. The model then tells: a promise above what the rounding
// allows (1e4 rho) of which the step achieved less than a hundredth says
// the rules on the step know nothing of convergence. Where the model is
// right, a step takes a fair share of its promise (all of it for a linear
// residual; a Gauss-Newton step at a nonzero residual gets less than it
// promises, but not a hundred times less where the residual's curvature
// is too weak to stop the method converging); at a minimum the promise is
// within the rounding.

#include <cstddef>
#include <limits>
#include <valarray>
#include <vector>

// What a local model of f at x promises: the decrease at its best step
// (NaN: no model), and whether the model holds every direction at x (the
// Hessian), so that a larger promise speaks against stationarity as well.
struct ModelDecrease {
  double decrease = std::numeric_limits<double>::quiet_NaN();
  bool wholeModel = false;
};

class StepEvidence {
 public:
  // A new iteration at a point with objective f.
  void reset(double f);

  // The trials added from here on lie along one direction (a new one).
  void beginDirection();

  // One trial point x_t = x + t d: `distance` = ||x_t - x|| as stored (0
  // where x_t == x), negative for t < 0; `predicted` = t d.g, the change
  // the gradient predicts (NaN where it is not known: such a trial never
  // measures the rounding); `value` = f(x_t).
  void add(double distance, double predicted, double value);

  // What the local model of f at x promises (see above); none, the
  // default of every iteration, without a call.
  void setModelDecrease(const ModelDecrease& model);

  // The objective's noise at x, as the driver measured it: the typical
  // change of f between neighbouring points beyond what the gradient
  // predicts. 0 (the default of every iteration): f's own rounding alone.
  void setNoise(double noise);

  // x is stationary within the objective's rounding (see above), for a
  // gradient of norm gradientNorm at a point of norm pointNorm.
  bool showsStationary(double gradientNorm, double pointNorm) const;

  // The iteration lowered f by more than the rounding the trials measured
  // can explain (2 rho): a decrease of enhancement.
  bool showsDecrease(double enhancement) const;

  // The iteration's decrease `enhancement` is a sliver of what the local
  // model promised, and the promise is more than rounding (see above).
  // False without a model.
  bool crawled(double enhancement) const;

  // The objective at x is not finite, or every trial gave a value that is
  // not (and there was one).
  bool objectiveNotFinite() const;

  // ||x_t - x||, 0 where every entry is the same, +inf where x_t is not
  // finite.
  static double distance(const std::valarray<double>& x, const std::valarray<double>& xt);

 private:
  struct Trial {
    double distance, predicted, value;
    std::size_t direction;
  };
  double rounding() const;
  bool risesToFirstOrder(double rho) const;
  static bool saysSomething(const Trial& t, double gradientNorm, double rho);

  double f_ = 0.0;
  double noise_ = 0.0;
  ModelDecrease model_;
  std::size_t direction_ = 0;
  std::vector<Trial> trials_;
};
