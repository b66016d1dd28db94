#pragma once
// The damped least-squares problem on a Golub-Kahan bidiagonalisation of J,
// reduced by plane rotations, and the product that solves it for any
// right-hand side without touching J again.
//
// With J V^T = U^T B from BIDSolver (B upper bidiagonal k x k, diagonal
// t_0 .. t_(k-1), superdiagonal s_1 .. s_(k-1); U k x m and V k x n with
// orthonormal rows), the Levenberg-Marquardt step in the Krylov space,
// x = V^T z with
//
//     min ||J x - b||^2 + alpha ||D x||^2,
//
// is the least-squares solution of the 2k x k system
//
//     [ B       ] z = [ U b ]
//     [ diag(e) ]     [ c   ],      e_i = sqrt(alpha) ||D o v_i||,
//
// the damping of each basis direction v_i on its own (exact for D = 1,
// where ||V^T z|| = ||z||), c = 0 for the step and c = V w for the damped
// right-hand side [0; w] of the phi derivative. 2k - 1 plane rotations
// bring the stacked matrix back to upper bidiagonal form B', chasing the
// fill-in f that each leaves below the diagonal block:
//
//     i = 0:   rows (0, k) by (t_0, e_0) / hypot(t_0, e_0), which turns e_0
//              into 0 and leaves f = -sin s_1 in row k, column 1;
//     i >= 1:  rows (k + i, k + i - 1) by (e_i, f) / hypot(e_i, f), which
//              moves f into e_i; then rows (i, k + i) by (t_i, e_i) /
//              hypot, which turns e_i into 0 and leaves the next fill-in
//              f = -sin s_(i+1) (none at the last row, where there is no
//              s_k).
//
// A rotation (c, s) on rows (j, l) replaces (y_j, y_l) by (c y_j + s y_l,
// c y_l - s y_j). The product then takes y = [M v; w_0 .. w_(k-1)], applies
// the rotations in order, solves B' z = y_0 .. y_(k-1) by back substitution
// and returns Q^T z: with M = U and Q = V, x for the right-hand side
// [v; w]. Each application costs two matrix-vector products of the bases
// and O(k) work, and no product of J.

#include <cstdint>
#include <valarray>
#include <vector>

#include "dense/matrix.h"
#include "steps/bid_solver.h"

struct PlaneRotation {
  double c;        // cosine
  double s;        // sine
  std::int32_t j;  // first row
  std::int32_t l;  // second row
};

// The rotated system: the bases it maps with and the rotated bidiagonal.
struct RotatedBidiagonal {
  const MatrixTemplate<double>* M = nullptr;  // k x c: y_top = M v (the left basis U)
  const MatrixTemplate<double>* Q = nullptr;  // k x n: out = Q^T z (the right basis V)
  std::valarray<double> d;                    // diagonal of B', k entries
  std::valarray<double> e;                    // e_(i+1) = B'(i, i + 1); e_0 is not read
  std::vector<PlaneRotation> rotations;       // in the order they apply
};

// The rotation record of [B; diag(e)] for alpha > 0 and the scaling D (n
// entries) on the decomposition `bid`, which must outlive the record (M and
// Q point at its bases).
RotatedBidiagonal rotateDampedBidiagonal(const BIDSolInfo& bid, double alpha,
                                         const std::valarray<double>& D);

// out = Q^T z for the right-hand side [M v; w_0 .. w_(k-1)] (w null: zeros;
// otherwise at least k entries), k the row count of M. False, with out = 0,
// when the back substitution meets a zero diagonal or leaves a value that
// is not finite. The substitution and the last product print the timer
// line "br_".
bool applyRotatedProduct(const RotatedBidiagonal& system, const std::valarray<double>& v,
                         std::valarray<double>& out, const std::valarray<double>* w = nullptr);
