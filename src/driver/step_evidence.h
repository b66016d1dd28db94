#pragma once
// What the trial steps of one iteration showed about the objective near
// the iteration's point x. Both drivers ask it whether the iteration's
// decrease is more than the objective's noise can explain, and whether x
// is stationary as far as that noise lets anyone tell: `zelk` always,
// `trovik` where its own test (leastsq/stationarity.h) fails, and then
// from the flat trials of an iteration that reached a visible change
// alone.
//
// The noise rho is the largest change |f(x_t) - f(x)| among the trials
// whose predicted change |t d.g| is below eps |f(x)| (what they show is
// rounding), and at least 4 eps |f(x)| and 4 times the noise the driver
// measured (setNoise, driver/noise_estimate.h): an objective computed from
// terms much larger than itself varies far more than eps |f| from point
// to point. Only a trial point that differs from x carries evidence.
//
// x is stationary unless a trial speaks against it:
//   - a trial below f(x) - 2 rho: a decrease the noise cannot explain;
//   - values that rise to first order along a direction: the nearest
//     trial on one side whose rise is plainly visible (16 rho) and the
//     next at least twice as far fix f(x + s u) - f(x) = sigma s + c s^2/2,
//     and sigma > 0 with c <= 0 or sigma^2 / 2c > 4 rho says that f falls
//     by more than the noise on the other side of x, or nearer to it (at a
//     minimum the rise is of second order);
// and something speaks for it, in this order:
//   - the local model (the Hessian, or the Newton direction of its
//     products) promises at most 2 rho: nothing any trial could show; a
//     larger promise of the Hessian, which holds every direction, speaks
//     against it, and so does, without a model to settle it, a flat trial
//     whose predicted change is a fall of more than 8 rho: the quadratic
//     through x with that slope and through the trial falls by a quarter
//     of it, more than 2 rho, half-way;
//   - the gradient could not have shown itself over the flat trials: with
//     t the longest trial step whose value stayed within f(x) + rho,
//     ||g_t|| t <= 1000 rho for the part g_t of the gradient in the
//     variables that trial moved. Along a search that failed at the noise
//     level ||g|| t / rho is about the inverse cosine of the angle between
//     the direction and -g; the slack lets a direction stray from -g that
//     far, while a direction that leaves out most of the gradient gives
//     more. A variable the trial did not move at all (its step below a
//     unit in the last place) it says nothing about: its gradient must be
//     negligible on its own scale (below), or moving those variables
//     alone, along u = -(s_j^2 g_j) over them (s_j their sizes), must
//     promise at most 2 rho by the curvature the driver measures along u:
//     (g.u)^2 / 2 u.H u, where a variable at its best alone gives the
//     least its gradient's noise can leave;
//   - where no trial says anything (its predicted change, or ||g|| times
//     its length where that is not known, at most rho) and none is flat,
//     the gradient is negligible on each variable's own scale: moving each
//     variable by its own size |x_j| (by its longest trial where x_j = 0)
//     changes f by at most rho in all, sum_j |g_j| s_j <= rho.
// A zero gradient is stationary whatever the trials; a non-finite gradient
// or objective never is.

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

  // One trial point `trial` = x + t d: `side` is the sign of t, `predicted`
  // = t d.g, the change the gradient predicts (NaN where it is not known:
  // such a trial never measures the rounding); `value` = f(trial).
  void add(const std::valarray<double>& x, const std::valarray<double>& trial, double side,
           double predicted, double value);

  // What the local model of f at x promises (see above); none, the
  // default of every iteration, without a call.
  void setModelDecrease(const ModelDecrease& model);

  // The objective's noise at x, as the driver measured it. 0 (the default
  // of every iteration): f's own rounding alone.
  void setNoise(double noise);

  // Whether x is stationary within the objective's noise (see above), for
  // the gradient g at x and, where measured, the curvature u.H u along
  // the unmoved variables' direction u (null: not measured).
  enum class Verdict {
    Stationary,
    NotStationary,
    // Stationary but for variables the flat trial did not move: the
    // curvature along unmovedDirection() settles it.
    UnlessUnmovedVariables,
  };
  // Which evidence counts: all of the above, or the flat trials alone,
  // and of those only the ones that say something unless some trial of
  // the iteration changed f by more than rho, so that the flat stretch
  // lies inside the scale on which f shows itself (a trust region's tries
  // shrinking from a visible rise), not on a scale no step could show
  // anything on (a first radius at the rounding of x). The second is for
  // a driver whose local model the trials refute (the Gauss-Newton model
  // at a residual of strong curvature), where a test of the gradient alone
  // is no evidence.
  enum class FlatTrials { All, WithinVisibleChange };
  Verdict stationarity(const std::valarray<double>& g, const std::valarray<double>& x,
                       const double* unmovedCurvature = nullptr,
                       FlatTrials flatTrials = FlatTrials::All) const;

  // u (above) for the longest flat trial: zero where that trial moved x.
  std::valarray<double> unmovedDirection(const std::valarray<double>& g,
                                         const std::valarray<double>& x) const;

  // The iteration lowered f by more than the noise the trials measured can
  // explain (2 rho): a decrease of enhancement.
  bool showsDecrease(double enhancement) const;

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
    std::vector<bool> moved;  // per variable: x_t differs from x there
  };
  double rounding() const;
  bool risesToFirstOrder(double rho) const;
  static bool saysSomething(const Trial& t, double gradientNorm, double rho);
  double shownOnOwnScale(const std::valarray<double>& g, const std::valarray<double>& x,
                         const std::vector<bool>* skip) const;
  const Trial* longestFlat(double rho, double gradientNorm, bool any, bool knownOnly) const;
  bool someVisibleChange(double rho) const;
  double variableSize(const std::valarray<double>& x, std::size_t j) const;
  Verdict unmovedVariables(const std::valarray<double>& g, const std::valarray<double>& x,
                           const std::vector<bool>& moved, const double* unmovedCurvature,
                           double rho) const;

  double f_ = 0.0;
  double noise_ = 0.0;
  ModelDecrease model_;
  std::size_t direction_ = 0;
  std::vector<Trial> trials_;
  std::valarray<double> reach_;  // per variable, the longest finite trial's move
};
