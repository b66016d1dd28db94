// Steps of the derivative checks' central differences (see fd_step.h).

#include "driver/fd_step.h"

#include <cmath>
#include <limits>

#include "dense/quiet_scope.h"

namespace {

// Below this a variable counts as 0: c |x_j| would be a step of no use
// (subnormal, or far below any rounding of F).
constexpr double kSmallestScale = 0x1p-500;

}  // namespace

double variableScale(double xj) {
  const double size = std::fabs(xj);
  return size >= kSmallestScale ? size : 1.0;
}

double coordinateStep(double c, double xj) {
  // x_j + h rounds to a neighbour of x_j; the step that reaches it is exact
  // (the two are within a factor 2), and x_j - that step is exact too.
  return quietly([&] {
    const double h = c * variableScale(xj);
    const double moved = xj + h;
    return moved - xj;
  });
}

double directionalStep(double c, const std::valarray<double>& x, const std::valarray<double>& v) {
  const double t = quietly([&] {
    double shortest = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < x.size() && j < v.size(); ++j) {
      const double move = std::fabs(v[j]);
      if (move > 0.0) shortest = std::fmin(shortest, c * variableScale(x[j]) / move);
    }
    return shortest;
  });
  if (!std::isfinite(t)) return c;  // v = 0, or an infinite entry in v
  int exponent = 0;
  std::frexp(t, &exponent);  // t = m 2^exponent, 1/2 <= m < 1
  return std::ldexp(1.0, exponent - 1);
}

std::valarray<double> representableDirection(const std::valarray<double>& x,
                                             const std::valarray<double>& v, double t) {
  std::valarray<double> u(0.0, x.size());
  const QuietFpScope quiet;
  for (std::size_t j = 0; j < x.size() && j < v.size(); ++j) {
    const double moved = x[j] + t * v[j];
    u[j] = (moved - x[j]) / t;
  }
  return u;
}

StepAlong stepAlong(double c, const std::valarray<double>& x, const std::valarray<double>& v0) {
  const double t = directionalStep(c, x, v0);
  return {representableDirection(x, v0, t), t};
}
