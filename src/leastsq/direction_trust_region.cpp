// SD6: the Levenberg-Marquardt step in a trust region. For the radius
// Delta and the scaling D of the task's scaling record (carried across
// iterations), the step solver gives
//
//     p = argmin ||J p + r||^2 + alpha ||D p||^2,   ||D p|| ~ Delta,
//
// (LMAlg on a dense J, LMItAlg on the products alone), the trial x + p is
// evaluated, and the ratio rho of the actual reduction of ||r||^2 to the
// model's,
//
//     dense:        (||r||^2 - ||r_t||^2) / (||J p||^2 + 2 alpha ||D p||^2),
//     matrix-free:  (||r||^2 - ||r_t||^2) / (||r||^2 - ||r + J p||^2)
//                   (with "ussum" 2 or 3 the same of the sorted sums),
//
// adjusts Delta (trust_region.h; rho = 0 when the trial raised the
// measure, and without dividing when the model predicts no reduction). D is
// updated after every try. The step is returned once it lowers the
// objective; up to 100 dense or 30 matrix-free tries, and a region that
// collapses (Delta below 1e-18 dense, 1e-12 matrix-free) is reset (to 10,
// or to 0.1 times a random number in (0, 1)) with status bit 0x100. Without
// a step the direction is zero and status bit 0x400 is set.
//
// D starts as zeros: the first SD6 call of the run sets it from the
// Jacobian, whichever iteration that is (the fallback, or "sdirs" changed
// by the monitor, may reach SD6 late), and every update keeps it strictly
// positive (steps/scaling_update.h). A zero residual is a root: the zero
// direction at once (rho would divide by ||r||^2).
//
// What the last call leaves for the records: lmFinalAlpha, trustRadius,
// lmStats (rho, the solver's last phi); the dense variant also lmAlpha and
// lmRank of every try. For the stopping rules it leaves in the task
// whether the step it returns reached the radius (a damped step; the
// matrix-free solver's fitted to the radius), so that its length says
// nothing about convergence. Every try is a trial of the task's step
// evidence, along a direction of its own.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>

#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "leastsq/host_products.h"
#include "leastsq/residual_objective.h"
#include "leastsq/search_directions.h"
#include "leastsq/trial_evaluation.h"
#include "leastsq/trust_region.h"
#include "linear/inner_solve_stats.h"
#include "options/global_state.h"
#include "options/option_cast.h"
#include "options/opts.h"
#include "steps/lm_alg.h"
#include "steps/lm_it_alg.h"
#include "steps/scaling_record.h"

namespace {

using Vec = std::valarray<double>;

constexpr std::int32_t kCollapsedRegion = 0x100;
constexpr std::int32_t kNoAcceptableStep = 0x400;

// F(x + p) into rt and its objective (+inf for a point that is not finite),
// entered in the task's step evidence with the objective's slope along p
// (NaN where it is not known).
double trialValue(TrovikOptimizationTask& task, const Vec& x, const Vec& p, Vec& rt,
                  double slope) {
  const Vec point = quietly([&] { return Vec(x + p); });
  const double value = pointObjective(task, point, rt);
  task.stepEvidence.beginDirection();
  task.stepEvidence.add(x, point, 1.0, slope, value);
  return value;
}

double square(double v) { return v * v; }

// ||v||^2, +inf past the largest double.
double squaredNorm(const Vec& v) {
  const double norm = normfro(v);
  return quietly([&] { return norm * norm; });
}

// The dense ratio, every norm relative to ||r|| > 0.
double denseRatio(const Vec& r, const Vec& rt, const Vec& Jp, double alpha, const Vec& Dp) {
  const double normR = normfro(r), normRt = normfro(rt);
  if (!quietLessEqual(normRt, normR)) return 0.0;
  return quietly([&] {
    const double actual = 1.0 - square(normRt / normR);
    const double predicted =
        square(normfro(Jp) / normR) + 2.0 * alpha * square(normfro(Dp) / normR);
    const double rho = actual / predicted;
    return predicted == 0.0 || std::isnan(rho) ? 0.0 : rho;
  });
}

// The matrix-free ratio; J p (one product, outside any quiet scope: the
// host call sets the trap mask of its own) only when the trial did not
// raise the measure.
double matrixFreeRatio(const JProduct& J, const Vec& r, const Vec& rt, const Vec& p) {
  const auto predictedResiduals = [&] {
    Vec Jp(0.0, r.size());
    J(p, Jp);
    return quietly([&] { return Vec(r + Jp); });
  };
  const auto difference = [](double a, double b) { return quietly([&] { return a - b; }); };
  const int ussum = opts.ussum;
  if (ussum == 2 || ussum == 3) {
    const double a = savesum(r), b = savesum(rt);
    const double actual = difference(a, b);
    std::cerr << "db : " << a << " " << b << " " << actual << "\n";
    if (quietGreater(b, a)) return 0.0;
    const double c = savesum(predictedResiduals());
    const double predicted = difference(a, c);
    if (predicted == 0.0) return 0.0;
    std::cerr << "de : " << a << " " << c << " " << predicted << "\n";
    return quietDivide(actual, predicted);
  }
  const double s = squaredNorm(r), st = squaredNorm(rt);
  if (!quietLessEqual(st, s)) return 0.0;
  const double sp = squaredNorm(predictedResiduals());
  if (s == sp) return 0.0;
  return quietDivide(difference(s, st), difference(s, sp));
}

void recordOutcome(double alpha, double Delta, double rho, double phi) {
  state.lmFinalAlpha() = alpha;
  state.trustRadius() = Delta;
  state.lmStats(0) = rho;
  state.lmStats(1) = phi;
}

Direction denseTrustRegion(TrovikOptimizationTask& task, const Vec& x, const Vec& r,
                           const MatrixTemplate<double>& J) {
  ScalingRecord& scaling = *task.scaling;
  const Vec minusR = -r;
  LMAlg lm(scaling, J, minusR, option_cast<int>(opts.lmdmode, 1), 0.0);
  if (!scaling.initialised) {
    updateScalingD(lm, scaling);
    scaling.initialised = true;
  }
  const double f0 = evalFunc(r);
  Vec rt(0.0, r.size());
  Direction d;
  double alpha = 0.0, rho = 0.0;
  for (int i = 0; i < 100; ++i) {
    alpha = lm.solveLambda(lm.step);
    state.lmRank() = static_cast<std::int32_t>(lm.rank);
    state.lmAlpha() = alpha;
    state.trustRadius() = scaling.Delta;
    const Vec& p = lm.step;
    const Vec Jp = matrixVectorProduct(J, p);  // BLAS, quietly
    const double ft = trialValue(task, x, p, rt, objectiveSlope(r, Jp));
    rho = std::isfinite(ft) ? denseRatio(r, rt, Jp, alpha, scaling.D.diagonal * p) : 0.0;
    const RadiusUpdate next = updateTrustRadius(rho, scaling.Delta, kDenseRadius);
    std::cerr << "Update Delta: rho = " << rho << ", D = " << scaling.Delta << " is "
              << next.verdict << next.Delta << "\n";
    updateScalingD(lm, scaling);
    scaling.Delta = next.Delta;
    std::cerr << "LM " << i << " result: " << alpha << " " << lm.lastPhi << " " << ft << " < " << f0
              << "\n";
    if (quietLess(next.Delta, 1e-18)) {
      std::cerr << "LM error, region too small\n";
      scaling.Delta = 10.0;
      state.status |= kCollapsedRegion;
      state.status |= kNoAcceptableStep;
      break;
    }
    if (quietGreater(f0, ft)) {
      d = p;
      // LMAlg's damping is 0 exactly for the Gauss-Newton step inside the region.
      task.stepAtRadius = alpha > 0.0;
      break;
    }
    if (i == 99) state.status |= kNoAcceptableStep;
  }
  recordOutcome(alpha, scaling.Delta, rho, lm.lastPhi);
  return d;
}

Direction matrixFreeTrustRegion(TrovikOptimizationTask& task, const Vec& x, Vec& r) {
  resetInnerSolves();
  ScalingRecord& scaling = *task.scaling;
  const HostProducts products(task, x, r);
  const Vec minusR = -r;
  LMItAlg<JProduct, JTProduct, JBlockProduct, JTBlockProduct> lm(
      scaling, static_cast<std::uint32_t>(x.size()), products.J, products.JT, products.JB,
      products.JTB, minusR);
  Vec& D = scaling.D.diagonal;
  if (!scaling.initialised) {
    lm.updateD(D);
    scaling.initialised = true;
  }
  const double f0 = evalFunc(r);
  Vec rt(0.0, r.size());
  Direction d;
  double alpha = 0.0, rho = 0.0;
  for (int i = 0; i < 30; ++i) {
    alpha = lm.solveLambda(lm.step);
    lm.lastAlpha = alpha;
    const Vec& p = lm.step;
    const double ft = trialValue(task, x, p, rt, std::numeric_limits<double>::quiet_NaN());
    rho = std::isfinite(ft) ? matrixFreeRatio(products.J, r, rt, p) : 0.0;
    // LMItAlg fits every step it accepts to the radius; a step that stayed
    // inside the region is its least damped one, about the Gauss-Newton step.
    const double tried = scaling.Delta;
    const bool atRadius = quietLess(std::fabs(normfro(D * p) - tried), lm.sigma * tried);
    const double Delta = updateTrustRadius(rho, scaling.Delta, kMatrixFreeRadius).Delta;
    lm.updateD(D);
    scaling.Delta = Delta;
    if (quietLess(Delta, 1e-12)) {
      state.status |= kCollapsedRegion;
      scaling.Delta = 0.1 * randvec(1)[0];
      state.status |= kNoAcceptableStep;
      break;
    }
    if (quietGreater(f0, ft)) {
      d = p;
      task.stepAtRadius = atRadius;
      break;
    }
    if (i == 29) state.status |= kNoAcceptableStep;
  }
  recordOutcome(alpha, scaling.Delta, rho, lm.lastPhi);
  return d;
}

}  // namespace

Direction trustRegionDirection(TrovikOptimizationTask& task, const std::valarray<double>& x,
                               std::valarray<double>& r, const MatrixTemplate<double>& J) {
  task.stepAtRadius = false;
  // A root: nothing to reduce.
  if (normfro(r) == 0.0) return Direction();
  if (J.elements.size() != 0) return denseTrustRegion(task, x, r, J);
  return matrixFreeTrustRegion(task, x, r);
}
