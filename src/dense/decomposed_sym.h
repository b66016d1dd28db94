#pragma once
// Eigen decompositions of symmetric matrices, held in the storage of
// DecomposedGeneralMatrix so that its error measures, info, idiag and resol
// run on them unchanged.
//
//   DecomposedSymMatrix_syevd   A = V diag(lambda) V^T      (LAPACKE_dsyevd)
//   DecomposedSymMatrixB_sygvd  A x = lambda B x, B s.p.d.  (LAPACKE_dsygvd)
//
// Both first run a thin SVD of A through the base constructor; the plain
// decomposition then overwrites its result, the generalised one keeps VT and
// sign from it. A failing eigen solver prints "decomp failed: " and its code
// to standard error and leaves that code in lapackInfo; nothing is thrown for
// it. Non-square input throws std::invalid_argument.

#include "dense/decomposed_general.h"

class DecomposedSymMatrix_syevd : public DecomposedGeneralMatrix {
 public:
  // A square and symmetric; the eigen solver reads its upper triangle.
  // Afterwards U holds the eigenvectors in its columns, s_j = |lambda_j| in
  // the order of ascending lambda, sign_j = +1 for lambda_j > 0 and -1
  // otherwise, and row j of VT is sign_j * (column j of U), so that
  // A = U diag(s) VT and lambda_j = s_j * sign_j. lapackInfo is the eigen
  // solver's code when it failed, else the code of the preliminary SVD.
  // With checks on, the error members measure the eigen decomposition.
  explicit DecomposedSymMatrix_syevd(const MatrixTemplate<double>& A);
  DecomposedSymMatrix_syevd(const MatrixTemplate<double>& A, DecompChecks checks);
  ~DecomposedSymMatrix_syevd() override = default;
};

class DecomposedSymMatrixB_sygvd : public DecomposedGeneralMatrix {
 public:
  MatrixTemplate<double> B;  // copy of the right-hand matrix

  // A symmetric, B symmetric positive definite, both n x n; upper triangles
  // are read. Afterwards U holds the eigenvectors X with X^T B X = I, s the
  // signed eigenvalues in ascending order, and lapackInfo the code of
  // LAPACKE_dsygvd. VT and sign are those of the preliminary SVD of A.
  DecomposedSymMatrixB_sygvd(const MatrixTemplate<double>& A, const MatrixTemplate<double>& B);
  DecomposedSymMatrixB_sygvd(const MatrixTemplate<double>& A, const MatrixTemplate<double>& B,
                             DecompChecks checks);
  ~DecomposedSymMatrixB_sygvd() override = default;

  // ||U^T B U - I_k||_F / sqrt(rows of U), k = columns of U.
  double unitaryError() const override;

  virtual double relerr1() const { return relErrDecomp; }
  virtual double relerr2() const { return relErrRecon; }
  virtual double relerrU() const { return relErrUnitary; }
  virtual double decompError() const { return 0.0; }
  virtual double reconError() const { return decompError(); }
};
