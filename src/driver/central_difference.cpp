// Central differences with their error, and the checked error of a
// derivative against them (see central_difference.h).

#include "driver/central_difference.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "dense/norms.h"
#include "dense/quiet_scope.h"

using Vec = std::valarray<double>;

CentralDifference centralDifference(const Vec& plus, const Vec& minus, double h) {
  return centralDifference(plus, minus, Vec(h, plus.size()));
}

CentralDifference centralDifference(const Vec& plus, const Vec& minus, const Vec& h) {
  const std::size_t n = plus.size();
  if (minus.size() != n || h.size() != n)
    throw std::invalid_argument("centralDifference: the values and steps differ in length");
  CentralDifference d{Vec(0.0, n), Vec(0.0, n)};
  const QuietFpScope quiet;
  for (std::size_t i = 0; i < n; ++i) {
    d.value[i] = (plus[i] - minus[i]) / (2.0 * h[i]);
    d.error[i] =
        kRoundingFactor * DBL_EPSILON * (std::fabs(plus[i]) + std::fabs(minus[i])) / (2.0 * h[i]);
  }
  return d;
}

void addTruncation(CentralDifference& d, const Vec& wide) {
  if (wide.size() != d.value.size())
    throw std::invalid_argument("addTruncation: the differences differ in length");
  const QuietFpScope quiet;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const double truncation = std::fabs(d.value[i] - wide[i]);
    if (std::isfinite(truncation)) d.error[i] += truncation;
  }
  d.truncated = true;
}

double excessError(const Vec& a, const Vec& D, const Vec& e) {
  const std::size_t n = a.size();
  if (D.size() != n || e.size() != n)
    throw std::invalid_argument("excessError: the derivatives differ in length");
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  Vec excess(0.0, n), reliable(0.0, n);
  {
    const QuietFpScope quiet;
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isnan(a[i]) || std::isnan(D[i])) return kNaN;
      if (!std::isfinite(e[i])) continue;  // no estimate: nothing to hold against a
      excess[i] = std::fmax(std::fabs(a[i] - D[i]) - e[i], 0.0);
      reliable[i] = std::fmax(std::fabs(D[i]) - e[i], 0.0);
    }
  }
  const double difference = normfro(excess);
  const double scale = std::fmax(normfro(a), normfro(reliable));
  return scale > 0.0 ? quietly([&] { return difference / scale; }) : difference;
}
