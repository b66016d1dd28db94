#pragma once
// Vector norms used by every solver's convergence tests.
//
// The Euclidean norms never overflow or underflow on the way: on ordinary
// data they are the plain square root of the sum of squares in the order
// given below (bit for bit), and only a vector whose squares would overflow
// (an entry of magnitude 2^486 or more) or whose sum of squares falls below
// 2^-968 (where underflow may have cost digits) is summed again with its
// entries scaled by a power of two. A NaN entry gives NaN, an infinite one
// (without a NaN) infinity, a norm beyond the largest double infinity. None
// of them raises a floating-point exception that traps (invalid, division
// by zero, overflow).

#include <valarray>

// Euclidean norm of x. The squares are summed from the last entry to the
// first; this order is fixed so that results agree bit for bit everywhere.
// 0 for an empty x.
double normfro(const std::valarray<double>& x);

// The same norm with the squares summed from the first entry to the last,
// the order of sqrt(x . x) with a plain dot product.
double normForward(const std::valarray<double>& x);

// ||a - b|| / max(||a||, ||b||), or ||a - b|| when both norms are 0 (all
// Euclidean norms as normfro). The difference runs over a's length; b needs
// at least as many entries (std::invalid_argument otherwise). A NaN anywhere
// gives NaN. Never traps, infinities and NaNs included.
double relmaxnorm(const std::valarray<double>& a, const std::valarray<double>& b);
