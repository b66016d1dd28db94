#pragma once
// Block operations of the LOBPCG eigen solver that do not depend on its
// operator: column access, orthonormalisation, random blocks and the
// Rayleigh-Ritz step on one block.

#include <cstddef>
#include <valarray>

#include "dense/matrix.h"

namespace lobpcg_blocks {

// Column j of A.
std::valarray<double> column(const MatrixTemplate<double>& A, std::size_t j);
void setColumn(MatrixTemplate<double>& A, std::size_t j, const std::valarray<double>& v);

// A with the column v appended (A may be empty, 0 x 0).
void appendColumn(MatrixTemplate<double>& A, const std::valarray<double>& v);

// Orthonormalises the columns of A in place, in order, each against the
// earlier columns of A and then against every column of B (taken to be
// orthonormal; B may be null or have no columns): one pass of modified
// Gram-Schmidt, no column dropped, so a dependent column turns non-finite.
void grams2(MatrixTemplate<double>& A, const MatrixTemplate<double>* B);

// An n x k block of fresh generator numbers in row-major order.
MatrixTemplate<double> randomBlock(std::size_t n, std::size_t k);

// R = AX - X diag(theta).
MatrixTemplate<double> residualBlock(const MatrixTemplate<double>& AX,
                                     const MatrixTemplate<double>& X,
                                     const std::valarray<double>& theta);

// Rayleigh-Ritz on the span of X's columns, given AX = A X: X is rotated to
// the Ritz vectors and their values (ascending, signed) are returned.
std::valarray<double> rotateToRitzVectors(MatrixTemplate<double>& X,
                                          const MatrixTemplate<double>& AX);

// P (n x a) times the row block [first, first + count) of Z (columns of Z
// kept): an n x Z.cols block.
MatrixTemplate<double> timesRows(const MatrixTemplate<double>& P, const MatrixTemplate<double>& Z,
                                 std::size_t first, std::size_t count);

}  // namespace lobpcg_blocks
