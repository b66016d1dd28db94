#pragma once
// The direction update of the CG solvers: p <- beta p + z', with z' the
// (preconditioned) new residual, and beta chosen by the option "cgmode".
// Written for residuals r (r = -gradient) and z = P r; plain CG has z = r.
// With r, z before and r', z' after the step, y = r' - r:
//
//   mode 0  the fixed value of the option "cgbeta"
//   mode 1  (r'.z') / (r.z)                    Fletcher-Reeves
//   mode 2  (y.z') / (r.z)                     Polak-Ribiere
//   mode 3  -(r'.(z' - z)) / (p.y)             Hestenes-Stiefel
//   mode 4  -(r'.z') / (p.y)                   Dai-Yuan
//   mode 5  (r'.(z' - z)) / (r.z)              Polak-Ribiere on z
//   other   steepest descent, p <- z'
//
// CG's line search keeps p.r' = 0 and p.r = r.z, so in exact arithmetic
// p.y = -r.z: Dai-Yuan equals Fletcher-Reeves and mode 5 Hestenes-Stiefel
// (and, for a symmetric P, Polak-Ribiere as well); the formulas part only in
// rounding, and wherever those identities fail. No safeguard is applied: a
// zero denominator gives an infinite or NaN beta, which the solvers' stop
// tests then meet, computed without a trap.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <valarray>

#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"

// beta for the mode, or nothing for steepest descent. rz = r.z as the
// solver computed it for its step length.
inline std::optional<double> cgDirectionBeta(std::int64_t mode, double fixedBeta,
                                             const std::valarray<double>& p,
                                             const std::valarray<double>& r,
                                             const std::valarray<double>& z,
                                             const std::valarray<double>& rn,
                                             const std::valarray<double>& zn, double rz) {
  const std::size_t len = p.size();
  // a . (u - v), each difference formed entry by entry.
  auto dotDiff = [len](const std::valarray<double>& a, const std::valarray<double>& u,
                       const std::valarray<double>& v) {
    double s = 0.0;
    for (std::size_t k = 0; k < len; ++k) s += a[k] * (u[k] - v[k]);
    return s;
  };
  switch (mode) {
    case 0: return fixedBeta;
    case 1: return quietDivide(dotProduct(rn, zn), rz);
    case 2: return quietDivide(dotDiff(zn, rn, r), rz);
    case 3: return quietDivide(-dotDiff(rn, zn, z), dotDiff(p, rn, r));
    case 4: return quietDivide(-dotProduct(rn, zn), dotDiff(p, rn, r));
    case 5: return quietDivide(dotDiff(rn, zn, z), rz);
    default: return std::nullopt;
  }
}
