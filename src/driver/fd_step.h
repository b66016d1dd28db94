#pragma once
// Steps of the drivers' central differences.
//
// The iteration's finite-difference gradient takes one step for all
// components, h = c max(||x||_2, 1): relative to the point where it is
// large, and never below c, so that differences at the origin have a step.
//
// The derivative checks scale every step to its own variable instead. With
// parameters whose sizes span many orders of magnitude, a step of
// c ||x|| moves the small ones by many times their own size, and the
// difference then measures the function far from x, not its derivative:
//
//   along e_j   h_j = c s_j,                 s_j = |x_j|, or 1 for a
//                                            variable at 0 (see variableScale)
//   along v     t = c min_j s_j / |v_j|,     so that no component moves by
//                                            more than c times its own size,
//                                            rounded down to a power of two
//
// Each step is rounded so that the points x +- h e_j and x +- t v the
// difference evaluates are exactly what it divides by: h_j becomes
// (x_j + h_j) - x_j, and v becomes (x + t v - x) / t (exact, t being a
// power of two). Without this the stored x_j + h_j differs from the
// intended point by up to half an ulp of x_j, an error of eps |x_j| / h_j
// relative to the step, which for a step of a few ulps is of order one.

#include <cmath>
#include <valarray>

#include "dense/norms.h"

inline double fdStep(double c, const std::valarray<double>& x) {
  return c * std::fmax(normfro(x), 1.0);
}

// The size of x_j a step is scaled to: |x_j|, or 1 when x_j is 0 (or so
// small, below 2^-500, that c |x_j| would not be a usable step), since a
// variable at 0 tells nothing of its scale.
double variableScale(double xj);

// The step along e_j at x_j: c variableScale(x_j), rounded so that
// x_j + h and x_j - h are exact. A power of two times h keeps that property
// except where the wider step crosses a power of two.
double coordinateStep(double c, double xj);

// The step along v at x: the largest power of two t with
// t |v_j| <= c variableScale(x_j) for every j (c when v = 0).
double directionalStep(double c, const std::valarray<double>& x, const std::valarray<double>& v);

// v as the points x +- t v are stored: ((x + t v) - x) / t entry by entry,
// for a power of two t. Entries whose move is below half an ulp of x_j
// become 0.
std::valarray<double> representableDirection(const std::valarray<double>& x,
                                             const std::valarray<double>& v, double t);

// A direction with its step for a difference along it: v0 as stored at
// x +- t v0 (representableDirection) and t = directionalStep(c, x, v0).
struct StepAlong {
  std::valarray<double> v;
  double t = 0.0;
};
StepAlong stepAlong(double c, const std::valarray<double>& x, const std::valarray<double>& v0);
