#include "steps/scaling_floor.h"

#include <cfloat>
#include <cmath>

#include "dense/quiet_compare.h"

void floorScalingDiagonal(std::valarray<double>& D) {
  if (D.size() == 0) return;
  // quietMax keeps a NaN, so one NaN entry makes the maximum not finite.
  double maxD = D[0];
  for (double d : D) maxD = quietMax(maxD, d);
  if (!std::isfinite(maxD) || !(maxD > 0.0)) {
    D = 1.0;
    return;
  }
  const double floor = quietMax(1e-12 * maxD, DBL_MIN);
  for (double& d : D)
    if (d < floor) d = floor;
}

std::valarray<double> flooredScalingDiagonal(const std::valarray<double>& D) {
  std::valarray<double> copy = D;
  floorScalingDiagonal(copy);
  return copy;
}
