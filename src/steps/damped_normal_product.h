#pragma once
// The damped normal-equations operator of the Levenberg-Marquardt steps,
//
//     v -> J^T (J v) + d o v,
//
// with J given by its two product closures and d the damping diagonal
// (d_i = alpha D_i^2 for the damping parameter alpha and the scaling D).
// Conjugate gradients and the VKR Krylov solver both iterate on it. Every
// application costs one J v and one J^T w product.

#include <cstddef>
#include <limits>
#include <valarray>

#include "steps/product_closure.h"

// out = J^T (J v) + d o v, with `scratch` (m entries) receiving J v. False
// when a product or the sum is not finite; out is then all NaN, so that a
// caller that only sees the result still sees the failure. The J^T product
// is never called on a non-finite J v.
template <class JOp, class JTOp>
bool dampedNormalProduct(const JOp& J, const JTOp& JT, const std::valarray<double>& d,
                         const std::valarray<double>& v, std::valarray<double>& scratch,
                         std::valarray<double>& out) {
  if (!applyProduct(J, v, scratch) || !applyProduct(JT, scratch, out)) {
    out = std::numeric_limits<double>::quiet_NaN();
    return false;
  }
  runQuietIf(!productSafeEntries(out, d, v), [&] {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += d[i] * v[i];
  });
  return allFinite(out);
}
