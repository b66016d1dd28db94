#pragma once
// Row-stored orthonormal bases of the Krylov step solvers (bidiagonalisation
// and VKR).
//
// Both solvers keep every basis vector as a row of a row-major matrix whose
// storage grows by doubling, and both reorthogonalise each new vector
// against all stored rows by one pass of modified Gram-Schmidt:
//
//     for j = 0 .. count-1:   h_j = v . b_j   (on the current v),   v <- v - h_j b_j
//
// which keeps the basis orthonormal to working precision where classical
// Gram-Schmidt would lose it.

#include <cstddef>
#include <valarray>

#include "dense/matrix.h"

// Gives M room for `capacity` rows of M.cols entries, keeping its first
// M.rows rows; new rows are zero. M.rows becomes `capacity`.
void growRows(MatrixTemplate<double>& M, std::size_t capacity);

// Grows the square M to capacity x capacity, keeping its entries in place;
// new entries are zero.
void growSquare(MatrixTemplate<double>& M, std::size_t capacity);

// One modified Gram-Schmidt pass of v (B.cols entries) against rows
// 0 .. count-1 of B; the coefficients go to h[0 .. count-1] when h is not
// null.
void orthogonalizeAgainstRows(const MatrixTemplate<double>& B, std::size_t count,
                              std::valarray<double>& v, double* h = nullptr);

// Reorthogonalises v against rows 0 .. i-1 of B (one pass), normalises it
// and stores it as row i; orth = |v . b_0| measures the loss of
// orthogonality (0 for i = 0). False, storing nothing, when v vanishes.
bool appendOrthonormalRow(MatrixTemplate<double>& B, std::size_t i, std::valarray<double>& v,
                          double& orth);

// v <- v / ||v||, returning ||v||; a zero v stays as it is and gives 0.
double normalize(std::valarray<double>& v);

// A random unit vector of n entries (the generator of randvec), or the
// normalised ones vector in the unlikely case that every draw is 0.
std::valarray<double> randomUnitVector(std::size_t n);

// A random unit vector orthogonal to rows 0 .. count-1 of the orthonormal
// B (two Gram-Schmidt passes: after one, the rounding left by components
// along B is amplified by the normalisation). Zero when B's rows already
// span the whole space.
std::valarray<double> freshDirection(const MatrixTemplate<double>& B, std::size_t count);

// Row i of M dotted with v (cblas_ddot).
double rowDot(const MatrixTemplate<double>& M, std::size_t i, const std::valarray<double>& v);

// Row i of M as a vector.
std::valarray<double> row(const MatrixTemplate<double>& M, std::size_t i);

// Stores v as row i of M.
void setRow(MatrixTemplate<double>& M, std::size_t i, const std::valarray<double>& v);
