#pragma once
// The step of the drivers' central differences: h = c max(||x||_2, 1).
// Relative to the point where it is large, so that x + h differs from x in
// every component that matters, and never below c, so that differences at
// the origin have a step.

#include <cmath>
#include <valarray>

#include "dense/norms.h"

inline double fdStep(double c, const std::valarray<double>& x) {
  return c * std::fmax(normfro(x), 1.0);
}
