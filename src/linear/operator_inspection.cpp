// The operator-inspection entry points: per-column statistics of a callback
// operator and a randomised symmetry test of a callback pair.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <valarray>

#include "dense/norms.h"
#include "dense/random.h"
#include "dense/valarray_data.h"
#include "linear/c_boundary.h"
#include "linear/external_vector_function.h"
#include "zelk/zelkcomp.h"

namespace {

void copyOut(double* dst, const std::valarray<double>& src) {
  if (dst != nullptr && src.size() > 0) std::memcpy(dst, &src[0], src.size() * sizeof(double));
}

}  // namespace

extern "C" int zelkcomp_colinfo(long m, long n, ExternalVectorCallback A, double* diag,
                                double* colsum, double* colabssum, double* colmin,
                                double* colmax, double* colabsmin, double* colabsmax,
                                void* context) {
  return guardEntry("zelkcomp_colinfo", [&] {
    // An empty column has no minimum or maximum.
    requireSize(m, "m", 1);
    requireSize(n, "n");
    requireNonNull(A, "A");
    const std::size_t rows = static_cast<std::size_t>(m), cols = static_cast<std::size_t>(n);
    std::valarray<double> d(std::min(rows, cols)), sum(cols), abssum(cols), lo(cols), hi(cols),
        abslo(cols), abshi(cols);
    std::valarray<double> e(0.0, cols), y(rows);
    int result = 0;
    for (std::size_t i = 0; i < cols; ++i) {
      e[i] = 1.0;
      y = 0.0;
      const int rc = A(&e[0], n, &y[0], m, context);
      e[i] = 0.0;
      if (rc != 0) {
        reportCallbackFailure("comp_linsolve:1041: zelkcomp_colinfo : ", rc);
        result = 2;
      }
      if (i < d.size()) d[i] = y[i];
      double s = 0.0, as = 0.0;
      double mn = y[0], mx = y[0], amn = std::fabs(y[0]), amx = amn;
      for (std::size_t j = 0; j < rows; ++j) {
        const double v = y[j], a = std::fabs(v);
        s += v;
        as += a;
        if (v < mn) mn = v;
        if (v > mx) mx = v;
        if (a < amn) amn = a;
        if (a > amx) amx = a;
      }
      sum[i] = s;
      abssum[i] = as;
      lo[i] = mn;
      hi[i] = mx;
      abslo[i] = amn;
      abshi[i] = amx;
      if (rc != 0) break;
    }
    copyOut(diag, d);
    copyOut(colsum, sum);
    copyOut(colabssum, abssum);
    copyOut(colmin, lo);
    copyOut(colmax, hi);
    copyOut(colabsmin, abslo);
    copyOut(colabsmax, abshi);
    return result;
  });
}

extern "C" int zelkcomp_is_symmetric(long m, long n, ExternalVectorCallback A,
                                     ExternalVectorCallback AT, void* context, double tol) {
  return guardEntry("zelkcomp_is_symmetric", [&] {
    requireSize(m, "m");
    requireSize(n, "n");
    requireNonNull(A, "A");
    requireNonNull(AT, "AT");
    if (m != n) return 0;
    std::valarray<double> v = randvec(n);
    std::valarray<double> y1(0.0, static_cast<std::size_t>(n)), y2 = y1;
    const int rc1 = A(dataOrNull(v), n, dataOrNull(y1), n, context);
    if (rc1 != 0)
      reportCallbackFailure("comp_linsolve:996: zelkcomp_linsolve_matfree : ", rc1);
    const int rc2 = AT(dataOrNull(v), n, dataOrNull(y2), n, context);
    if (rc2 != 0)
      reportCallbackFailure("comp_linsolve:1009: zelkcomp_linsolve_matfree : ", rc2);
    // Outputs of a failed callback prove nothing: two callbacks that both
    // fail without writing would otherwise look alike.
    if (rc1 != 0 || rc2 != 0) return 0;
    return relmaxnorm(y1, y2) < tol ? 1 : 0;
  });
}
