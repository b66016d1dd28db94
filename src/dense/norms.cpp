#include "dense/norms.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>

#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"

double normfro(const std::valarray<double>& x) {
  std::size_t i = x.size();
  if (i == 0) return 0.0;
  --i;
  double s = x[i] * x[i];
  while (i-- > 0) s += x[i] * x[i];
  return std::sqrt(s);
}

double relmaxnorm(const std::valarray<double>& a, const std::valarray<double>& b) {
  const std::size_t n = a.size();
  if (b.size() < n)
    throw std::invalid_argument(
        fmt::format("relmaxnorm: b has {} entries, fewer than the {} of a", b.size(), n));
  const double na = normfro(a);
  const double nb = normfro(b);
  std::valarray<double> diff(n);
  for (std::size_t i = 0; i < n; ++i) diff[i] = a[i] - b[i];
  const double d = normfro(diff);
  // Written so that a NaN nb falls back to na, and a NaN na stays; the
  // quiet comparison keeps a NaN from trapping.
  const double m = quietGreater(nb, na) ? nb : na;
  return relativeError(d, m);
}
