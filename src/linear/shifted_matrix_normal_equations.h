#pragma once
// The augmented block operator [A; shift I] of regularised least squares,
// (m + n) x n for an m x n block operator A. Its normal equations are
// A^T A + shift^2 I.

#include "linear/sized_operator.h"

class ShiftedMatrixNormalEquations : public SizedMMPOperator {
 public:
  const SizedMMPOperator& A;
  long m;
  long n;
  double shift;  // A's option "shift" (double), 0.0 when missing

  // Takes A's options with "dim_m" = m + n and "dim_n" = n. Holds a
  // reference to A, which must outlive this object.
  explicit ShiftedMatrixNormalEquations(const SizedMMPOperator& A_);
  ShiftedMatrixNormalEquations(const SizedMMPOperator&&) = delete;

  // [A X; shift X] for X of n rows.
  MatrixTemplate<double> matvecprod(const MatrixTemplate<double>& X) const override;
  // A^T T + shift B for Y = [T; B] of m + n rows.
  MatrixTemplate<double> matTvecprod(const MatrixTemplate<double>& Y) const override;
};
