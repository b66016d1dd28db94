#pragma once
// Least squares on a singular value decomposition J = U diag(s) V^T with a
// cut and a minimum rank:
//
//     out = V diag(g) U^T b,
//
// g_i = 1 / s_i for the values kept by the cut (|s_i| >= tol s_0 and s_i
// not 0), g_i = 0 for the others. When fewer than minRank values are kept,
// the first minRank get g_i = 1 / s_i where |s_i| >= tol s_0 and g_i = s_i
// (not inverted: a weight as small as the value itself) where not, so that
// those directions take part without amplifying the noise in them. minRank
// is held at the number of singular values, min(m, n).
//
// Prints "Rank: <rank> rcond <s_(rank-1) / s_0>" and "Min Rank: <minRank>
// rcond <s_(minRank-1) / s_0>" (rcond 0 for a rank 0) to standard error. A
// decomposition without values, with a zero or non-finite s_0, or one that
// LAPACK could not finish gives the zero vector.

#include <cstddef>
#include <valarray>

#include "dense/decomposed_general.h"

std::valarray<double> truncatedSVDSolve(const DecomposedGeneralMatrix& svd, std::size_t minRank,
                                        const std::valarray<double>& b, double tol);
