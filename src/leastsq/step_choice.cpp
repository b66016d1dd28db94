#include "leastsq/step_choice.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"
#include "leastsq/line_search.h"
#include "leastsq/residual_objective.h"
#include "leastsq/trial_evaluation.h"
#include "leastsq/wolfe_code.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

constexpr double kUnknownSlope = std::numeric_limits<double>::quiet_NaN();

// The iteration's point and the kinds tried at it, with their directions.
class KindSearch {
 public:
  KindSearch(TrovikOptimizationTask& task, const Vec& x, Vec& r, double f,
             const MatrixTemplate<double>& J)
      : task_(task), x_(x), r_(r), f_(f), J_(J) {}

  std::size_t add(SearchDir kind) {
    tried_.push_back(kind);
    directions_.push_back(task_.mkSearchDir(kind, x_, r_, J_));
    return tried_.size() - 1;
  }

  const std::vector<SearchDir>& tried() const { return tried_; }

  // The objective at x + alpha d_k, +inf when that point is not finite
  // (it is not handed to the host). Its slope is not known.
  double fixedStepValue(std::size_t k, double alpha) {
    Vec rt(0.0, r_.size());
    const Vec point = quietly([&] { return Vec(x_ + alpha * directions_[k]); });
    const double value = pointObjective(task_, point, rt);
    task_.stepEvidence.beginDirection();
    task_.stepEvidence.add(x_, point, alpha, kUnknownSlope, value);
    return value;
  }

  // The line search along d_k (reversed where the objective climbs).
  LSResult search(std::size_t k) {
    const Vec& d = directions_[k];
    LineSearchContext context{task_, r_, f_, x_, d, 0.0};
    task_.stepEvidence.beginDirection();
    if (!allZero(d)) context.g0 = startSlope(context);
    if (std::isnan(context.g0)) {
      state.status |= 0x40;
      return LSResult{};
    }
    if (quietGreater(context.g0, 0.0)) {
      state.status |= 0x20;
      context.directionSign = -1.0;
    }
    return lineSearch(context, sdname(tried_[k]));
  }

  StepChoice choose(std::size_t k, const LSResult& result) {
    StepChoice c;
    c.chosen = true;
    c.kind = tried_[k];
    c.direction = std::move(directions_[k]);
    c.length = result.alpha;
    c.move = result.sign * result.alpha;
    c.slope = result.slope;
    c.code = result.code;
    return c;
  }

  StepChoice chooseFixed(std::size_t k, double alpha) {
    StepChoice c;
    c.chosen = true;
    c.kind = tried_[k];
    c.direction = std::move(directions_[k]);
    c.length = c.move = alpha;
    return c;
  }

 private:
  // The objective's slope along d at x: from J d with the iteration's
  // Jacobian, else from one Jacobian-vector product at x.
  double startSlope(LineSearchContext& context) {
    if (J_.elements.size() != 0) {
      const Vec Jd = matrixVectorProduct(J_, context.d);  // BLAS, quietly
      return objectiveSlope(r_, Jd);
    }
    Vec rt(0.0, r_.size());
    return directionalDerivative(context, x_, rt, context.d).g;
  }

  TrovikOptimizationTask& task_;
  const Vec& x_;
  Vec& r_;
  const double f_;
  const MatrixTemplate<double>& J_;
  std::vector<SearchDir> tried_;
  std::vector<Vec> directions_;
};

// A result the iteration can step with: a finite step and objective that
// passes the "wolcheck" level.
bool accepted(const LSResult& result) {
  const bool noStep = result.alpha == 0.0 && result.J == -1.0;
  if (!std::isfinite(result.alpha) || noStep || !std::isfinite(result.J)) {
    state.status |= 0x40;
    return false;
  }
  if (opts.wolcheck != 0 && !checkWolC(result.code)) {
    state.status |= 0x80;
    return false;
  }
  return true;
}

StepChoice fixedStep(KindSearch& search, double alpha) {
  std::ptrdiff_t best = -1;
  double bestValue = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < search.tried().size(); ++k) {
    const double value = search.fixedStepValue(k, alpha);
    if (quietLess(value, bestValue)) {
      best = static_cast<std::ptrdiff_t>(k);
      bestValue = value;
    }
  }
  if (best >= 0) return search.chooseFixed(static_cast<std::size_t>(best), alpha);
  StepChoice none;
  none.length = none.move = alpha;
  return none;
}

bool fallbackUsable(const TrovikOptimizationTask& task, SearchDir kind) {
  if (kind == SearchDir::SD2 || kind == SearchDir::SD4) return task.jacobian != nullptr;
  if (kind == SearchDir::SD3) return task.jacobian != nullptr || task.jv != nullptr;
  return true;
}

StepChoice fallback(TrovikOptimizationTask& task, KindSearch& search) {
  for (const SearchDir kind : fallbackKinds(search.tried())) {
    if (!fallbackUsable(task, kind)) continue;
    if (opts.trace & 0x2)
      std::fprintf(stderr, "search dir %u because the %zu previous tries did not succeed\n",
                   static_cast<unsigned>(kind), search.tried().size());
    const std::size_t k = search.add(kind);
    const LSResult result = search.search(k);
    if (accepted(result)) return search.choose(k, result);
  }
  return StepChoice{};
}

}  // namespace

StepChoice chooseStep(TrovikOptimizationTask& task, const std::vector<SearchDir>& kinds,
                      const Vec& x, Vec& r, double f, const MatrixTemplate<double>& J) {
  KindSearch search(task, x, r, f, J);
  for (SearchDir kind : kinds) search.add(kind);

  const double alpha = opts.alpha;
  if (alpha != 0.0 || std::isnan(alpha)) return fixedStep(search, alpha);

  std::ptrdiff_t best = -1;
  LSResult bestResult;
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    LSResult result = search.search(k);
    if (!accepted(result)) continue;
    if (best < 0 || quietLess(result.J, bestResult.J)) {
      best = static_cast<std::ptrdiff_t>(k);
      bestResult = std::move(result);
    }
  }
  if (best >= 0) return search.choose(static_cast<std::size_t>(best), bestResult);
  if (opts.enableFallback != 0) return fallback(task, search);
  return StepChoice{};
}
