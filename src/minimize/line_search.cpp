// Line search of the minimisation driver.
//
// The search itself is not built yet: every call gives the no-step result.

#include "minimize/optimization_task.h"

LSResult OptimizationTask::linesearch(double /*f0*/, const std::valarray<double>& /*x*/,
                                      const std::valarray<double>& /*d*/, double /*alpha0*/,
                                      const std::valarray<double>& /*g*/, std::string /*name*/,
                                      int /*sign*/) {
  return LSResult{};
}
