#include "steps/scaling_update.h"

#include <cmath>

#include "dense/length_check.h"
#include "dense/quiet_compare.h"
#include "options/global_state.h"
#include "steps/scaling_floor.h"

namespace {

// The new D_j of one column.
double updatedScale(int mode, double columnSum, double Dj, double other) {
  const double a = std::fabs(columnSum);
  double v;
  switch (mode) {
    case 0:
      return 1.0;
    case 1:
      v = a;
      break;
    case 2:
      v = std::sqrt(a);
      break;
    case 3:
      v = std::cbrt(a);
      break;
    case 4:
      v = quietGreater(a, 0.0) ? std::log(a) : Dj;
      break;
    default:
      v = other;
      break;
  }
  const double updated = quietMax(v, Dj);
  return quietGreater(updated, 0.0) ? updated : 0.0;
}

}  // namespace

std::int32_t updateScalingDiagonal(int mode, const std::valarray<double>& sums,
                                   const std::valarray<double>* other, std::valarray<double>& D) {
  requireSameLength(sums.size(), D.size(), "updateScalingDiagonal: one column sum per entry of D");
  if (other != nullptr)
    requireSameLength(other->size(), D.size(), "updateScalingDiagonal: one measure per entry");
  std::int32_t zeros = 0;
  for (std::size_t j = 0; j < D.size(); ++j) {
    const double b = other != nullptr ? (*other)[j] : std::fabs(sums[j]);
    D[j] = updatedScale(mode, sums[j], D[j], b);
    if (quietLess(std::fabs(sums[j]), 1e-20)) ++zeros;
  }
  floorScalingDiagonal(D);
  state.zeroColumns() = zeros;
  return zeros;
}
