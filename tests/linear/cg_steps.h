#pragma once
// CG steps computed by hand for each direction formula, on a small
// non-symmetric operator where the formulas give different coefficients (on
// a symmetric positive definite system they coincide, so convergence alone
// cannot tell them apart). The first update cannot tell them apart either
// (r1 . p0 = 0 makes every formula Fletcher-Reeves), so the iterate after
// three steps is the one to compare.

#include <valarray>

namespace cg_steps {

using Vec = std::valarray<double>;

// y = M x for M = [[4, 1, 0], [2, 3, 1], [0, 1, 5]].
inline Vec nonSymmetric(const Vec& x) {
  return Vec{4 * x[0] + x[1], 2 * x[0] + 3 * x[1] + x[2], x[1] + 5 * x[2]};
}

inline double dot(const Vec& a, const Vec& b) { return (a * b).sum(); }

// x after `steps` iterations from x0, z = P(r) the preconditioned residual
// (P the identity for plain CG), beta by the formula table:
//   0 fixed, 1 (r'.z')/(r.z), 2 ((r'-r).z')/(r.z), 3 -(r'.(z'-z))/(p.(r'-r)),
//   4 -(r'.z')/(p.(r'-r)), 5 (r'.(z'-z))/(r.z), anything else 0.
template <class Op, class P>
Vec iterate(const Op& A, const P& prec, const Vec& b, const Vec& x0, int mode, double fixed,
            int steps) {
  Vec x = x0, r = b - A(x0), z = prec(r), p = z;
  for (int k = 0; k < steps; ++k) {
    const Vec q = A(p);
    const double alpha = dot(r, z) / dot(p, q);
    x = x + alpha * p;
    const Vec rn = r - alpha * q, zn = prec(rn);
    double beta = 0.0;  // steepest descent for modes beyond 5
    switch (mode) {
      case 0: beta = fixed; break;
      case 1: beta = dot(rn, zn) / dot(r, z); break;
      case 2: beta = dot(Vec(rn - r), zn) / dot(r, z); break;
      case 3: beta = -dot(rn, Vec(zn - z)) / dot(p, Vec(rn - r)); break;
      case 4: beta = -dot(rn, zn) / dot(p, Vec(rn - r)); break;
      case 5: beta = dot(rn, Vec(zn - z)) / dot(r, z); break;
      default: break;
    }
    p = beta * p + zn;
    r = rn;
    z = zn;
  }
  return x;
}

}  // namespace cg_steps
