// The choice of one direction and step among the kinds of an iteration.
//
// In the line-search mode (option alpha = 0) every tried kind is searched;
// a result is taken only once the acceptance test of the line search
// exists, so for now nothing is chosen: the iteration takes no step
// (alpha 0, sign 1) and keeps its previous kind and direction.

#include "minimize/optimization_task.h"
#include "options/opts.h"

void chooseDirection(OptimizationTask& task, MinimizationIterate& it) {
  it.alpha = 0.0;
  it.sign = 1;
  if (opts.alpha != 0.0) return;  // the fixed-step mode comes with the line search
  it.results.clear();
  for (std::size_t k = 0; k < it.tried.size(); ++k)
    it.results.push_back(task.linesearch(it.f, it.x, it.directions[k], it.alphaInit, it.g,
                                         sdname(it.tried[k]), 1));
}
