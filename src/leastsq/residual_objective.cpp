#include "leastsq/residual_objective.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "options/opts.h"

namespace {

constexpr double kLargestScalable = DBL_MAX / 1000.0;

// sum_i v_i from the first entry to the last.
double forwardSum(const std::valarray<double>& v) {
  const QuietFpScope quiet;
  double s = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) s += v[i];
  return s;
}

}  // namespace

double savesum(const std::valarray<double>& v) {
  if (v.size() == 0) return 0.0;
  for (double e : v)
    if (std::isnan(e)) return std::numeric_limits<double>::quiet_NaN();
  std::valarray<double> sorted = v;
  // No NaN is left, so the ordinary comparison is quiet and a strict weak
  // order (infinities included).
  std::sort(std::begin(sorted), std::end(sorted));
  const QuietFpScope quiet;
  double s = sorted[0];
  for (std::size_t i = 1; i < sorted.size(); ++i) s += sorted[i];
  return s;
}

double evalFunc(const std::valarray<double>& r) {
  const double m = static_cast<double>(r.size());
  switch (opts.ussum) {
    case 1: {
      // normfro gives a number, infinity or NaN, never a trap; only the
      // scaling may overflow (for norms above DBL_MAX / 1000).
      const double norm = normfro(r);
      const double scaled = quietLess(norm, kLargestScalable)
                                ? 1000.0 * norm
                                : quietly([&] { return 1000.0 * norm; });
      return quietDivide(scaled, m);
    }
    case 2:
      return forwardSum(r);
    case 3:
      return quietDivide(savesum(r), m);
    default:
      return normfro(r);
  }
}

std::valarray<double> objectiveWeights(const std::valarray<double>& r) {
  const double m = static_cast<double>(r.size());
  const unsigned rule = opts.ussum;
  if (rule == 2) return std::valarray<double>(1.0, r.size());
  if (rule == 3) return std::valarray<double>(quietDivide(1.0, m), r.size());
  const double norm = normfro(r);
  if (norm == 0.0) return std::valarray<double>(0.0, r.size());
  const QuietFpScope quiet;
  std::valarray<double> w = r / norm;
  if (rule == 1) w *= 1000.0 / m;
  return w;
}

double objectiveSlope(const std::valarray<double>& r, const std::valarray<double>& q) {
  requireSameLength(q.size(), r.size(), "objectiveSlope: J d and r differ in length");
  const double m = static_cast<double>(r.size());
  const unsigned rule = opts.ussum;
  if (rule == 2) return forwardSum(q);
  if (rule == 3) return quietDivide(forwardSum(q), m);

  const double norm = normfro(r);
  if (norm == 0.0) return 0.0;
  const QuietFpScope quiet;
  double s = 0.0;
  for (std::size_t i = 0; i < r.size(); ++i) s += (r[i] / norm) * q[i];
  return rule == 1 ? 1000.0 / m * s : s;
}
