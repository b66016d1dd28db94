// The choice of one direction and step among the kinds of an iteration.
//
// Line-search mode (option alpha = 0): every tried kind is line-searched
// along its direction and the result checked (checkLineSearchPoint); of the
// accepted ones the lowest objective wins, the earlier kind on a tie. The
// step is the winner's alpha and sign.
//
// When none is accepted and enableFallback is set, further kinds are tried
// one at a time until one is accepted: those of SD0, SD1, SD2, SD4, SD3,
// SD5, SD6 not tried yet, from the end of that list backwards, skipping the
// kinds whose callbacks the host did not give (SD2 and SD4 need the
// Hessian, SD3 the Hessian or its products). A Newton kind with a Hessian
// callback gets the iteration's decomposition, made on first need. A kind
// that was accepted but got nowhere (the run's verdict on the iteration:
// no decrease above the rounding, away from a stationary point) is as good
// as none: the next iteration goes to the fallback kinds at once.
//
// Fixed-step mode (alpha != 0): each kind's point x + alpha d is evaluated;
// the last kind with a finite value is chosen (one "Try " line each). With
// none, the previous iteration's kind and direction stay.
//
// Nothing chosen: alpha = 0 (no step), sign 1.

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>

#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/vector_kernels.h"
#include "minimize/line_search.h"
#include "minimize/zelk_task.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

void choose(MinimizationIterate& it, std::size_t k) {
  it.chosenKind = it.tried[k];
  it.chosenDirection = it.directions[k];
  it.alpha = it.results[k].alpha;
  it.sign = it.results[k].sign;
}

void chooseFixedStep(OptimizationTask& task, MinimizationIterate& it) {
  const double alpha = opts.alpha;
  it.alpha = alpha;
  it.sign = 1;
  for (std::size_t k = 0; k < it.tried.size(); ++k) {
    const Vec trial = quietly([&] { return Vec(it.x + alpha * it.directions[k]); });
    if (!allFinite(trial)) continue;
    const double f = task.objectiveAt(trial);
    task.stepEvidence.beginDirection();
    task.stepEvidence.add(it.x, trial, alpha,
                          quietProduct(alpha, dotProduct(it.g, it.directions[k])), f);
    if (!std::isfinite(f)) continue;
    std::cerr << "Try " << alpha << "*" << sdname(it.tried[k]) << ": " << f << "\n";
    it.chosenKind = it.tried[k];
    it.chosenDirection = it.directions[k];
  }
}

// Line-searches the k-th tried kind and checks the result; true when it is
// accepted and lower than bestValue.
bool searchKind(OptimizationTask& task, MinimizationIterate& it, std::size_t k, double bestValue) {
  it.results.push_back(task.linesearch(it.f, it.x, it.directions[k], it.alphaInit, it.g,
                                       sdname(it.tried[k]), 1));
  const LSResult& result = it.results.back();
  return checkLineSearchPoint(task, it.f, it.x, it.g, result, it.directions[k], it.flags) &&
         quietGreater(bestValue, result.J);
}

// The iteration's decomposition for a Newton kind taken up by the
// fallback. The Hessian's gradient is not taken over: the kinds already
// tried were searched with the iteration's own.
void ensureDecomposition(OptimizationTask& task, MinimizationIterate& it) {
  if (it.decomposition) return;
  if (!it.hessianEvaluated) {
    Vec g = it.g;
    evaluateIterationHessian(task, it);
    it.g = std::move(g);
  }
  decomposeIterationHessian(it);
}

bool fallbackCandidateUsable(const OptimizationTask& task, SearchDir kind) {
  if (kind == SearchDir::SD2 || kind == SearchDir::SD4) return task.hessian != nullptr;
  if (kind == SearchDir::SD3) return task.hessian != nullptr || task.hessianProduct != nullptr;
  return true;
}

void fallback(OptimizationTask& task, MinimizationIterate& it) {
  for (const SearchDir kind : fallbackKinds(it.tried)) {
    if (!fallbackCandidateUsable(task, kind)) continue;
    const bool newton =
        kind == SearchDir::SD2 || kind == SearchDir::SD3 || kind == SearchDir::SD4;
    if (newton && task.hessian != nullptr) ensureDecomposition(task, it);
    if (opts.trace & 0x2)
      std::fprintf(stderr, "search dir %u because the %zu previous tries did not succeed\n",
                   static_cast<unsigned>(kind), it.tried.size());
    const DecomposedSymMatrix_syevd* hess = it.decomposition ? &*it.decomposition : nullptr;
    it.tried.push_back(kind);
    it.directions.push_back(task.mkSearchDir(kind, it.x, it.g, it.gPrev, it.chosenDirection, it.eig,
                                             it.lambda, it.beta, hess));
    const std::size_t k = it.tried.size() - 1;
    if (searchKind(task, it, k, std::numeric_limits<double>::infinity())) {
      choose(it, k);
      return;
    }
  }
}

}  // namespace

void chooseDirection(OptimizationTask& task, MinimizationIterate& it) {
  it.alpha = 0.0;
  it.sign = 1;
  if (opts.alpha != 0.0) {
    chooseFixedStep(task, it);
    return;
  }
  it.results.clear();
  if (it.fallbackOnly && opts.enableFallback != 0) {
    it.fallbackOnly = false;
    it.results.resize(it.tried.size());  // the iteration's own kinds, not searched
    fallback(task, it);
    return;
  }
  std::ptrdiff_t best = -1;
  double bestValue = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < it.tried.size(); ++k)
    if (searchKind(task, it, k, bestValue)) {
      best = static_cast<std::ptrdiff_t>(k);
      bestValue = it.results[k].J;
    }
  if (best >= 0)
    choose(it, static_cast<std::size_t>(best));
  else if (opts.enableFallback != 0)
    fallback(task, it);
}
