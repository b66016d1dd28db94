#pragma once
// Vector norms used by every solver's convergence tests.

#include <valarray>

// Euclidean norm of x. The squares are summed from the last entry to the
// first; this order is fixed so that results agree bit for bit everywhere.
// 0 for an empty x.
double normfro(const std::valarray<double>& x);

// ||a - b|| / max(||a||, ||b||), or ||a - b|| when both norms are 0 (all
// Euclidean norms as normfro). The difference runs over a's length; b needs
// at least as many entries (std::invalid_argument otherwise). A NaN anywhere
// gives NaN.
double relmaxnorm(const std::valarray<double>& a, const std::valarray<double>& b);
