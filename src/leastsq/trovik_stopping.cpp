#include "leastsq/trovik_stopping.h"

#include "options/global_state.h"

StopReason trovikStoppingRules(const TrovikStopValues& v) {
  if (state.error != 0) return {33, 1, "error occurred"};
  return testStoppingRules({.elapsed = v.elapsed,
                            .iteration = v.iteration,
                            .nu = v.stepNorm,
                            .normX = v.normX,
                            .enh = v.enhancement,
                            .fStart = v.before,
                            .gNorm = v.jacobianNorm,
                            .haveGradient = v.haveJacobian,
                            .alpha = v.stepLength,
                            .dNorm = v.directionNorm,
                            .f = v.J,
                            .f0 = v.f0,
                            .outputAnswer = 0});
}
