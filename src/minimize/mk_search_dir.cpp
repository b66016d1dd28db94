// Search directions of the minimisation driver, one kind at a time.
//
// No kind has its builder yet: every kind reports itself as not implemented
// and gives the zero direction, along which no line search finds a step.

#include <cstdio>

#include "minimize/optimization_task.h"

std::valarray<double> OptimizationTask::mkSearchDir(
    SearchDir kind, const std::valarray<double>& /*x*/, const std::valarray<double>& g,
    const std::valarray<double>& /*gPrev*/, const std::valarray<double>& /*dPrev*/,
    std::valarray<double>& /*eig*/, double& /*lambda*/, double& /*beta*/,
    const DecomposedSymMatrix_syevd* /*hess*/) {
  std::fprintf(stderr, "Search dir %s not implemented\n", sdname(kind).c_str());
  return std::valarray<double>(0.0, g.size());
}
