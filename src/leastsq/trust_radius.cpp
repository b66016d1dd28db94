#include <cfloat>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "leastsq/trust_region.h"

RadiusUpdate updateTrustRadius(double rho, double Delta, const RadiusFactors& factors) {
  const auto capped = [](double v) { return quietMin(v, DBL_MAX); };
  const auto times = [&](double f) { return capped(quietly([&] { return f * Delta; })); };
  if (quietGreater(rho, 0.95) && quietLess(rho, 1.1))
    return {times(factors.veryGood), "very good: "};
  if (quietGreater(rho, 0.75)) return {times(factors.good), "good: "};
  if (quietLessEqual(rho, 0.0)) return {Delta / factors.veryBad, "very bad: "};
  if (quietLess(rho, 0.25)) return {Delta / factors.bad, "bad: "};
  return {times(factors.ok), "OK: "};
}
