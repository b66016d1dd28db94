#pragma once
// Singular value decomposition A = U * diag(s) * VT of a dense m x n matrix
// (LAPACKE_dgesdd) with the rank and conditioning diagnostics the solvers
// print and test.
//
// The symmetric eigen decompositions derive from this class and keep their
// result in the same members (U = eigenvectors, s = |lambda|, sign = sign of
// lambda), so code written against the SVD runs on them unchanged. For that
// reason the diagnostics never assume s is sorted: each value is judged
// against the largest magnitude in s, and a zero is never inverted.
//
// A LAPACK failure is never thrown: its code stays in `lapackInfo` and the
// members hold what LAPACK left. Malformed input (a work matrix whose storage
// is shorter than its shape, dimensions above INT_MAX) throws before LAPACK
// is called.

#include <cstdint>
#include <limits>
#include <valarray>

#include "dense/decomp_checks.h"
#include "dense/matrix.h"

// lapackInfo of a decomposition that LAPACK completed with NaN or infinite
// values in its results (from NaN, infinite or overflowing entries of the
// matrix): a failure like any other, outside the range of LAPACK's codes.
constexpr std::int32_t kNonFiniteFactors = std::numeric_limits<std::int32_t>::max();

// Which singular vectors an SVD computes. Spelled out at every call so the
// meaning of the choice cannot be turned around by accident.
enum class SvdShape : bool {
  full = false,  // all of them: U is m x m, VT is n x n (LAPACK job 'A')
  thin = true,   // the economy factors: min(m, n) vectors on the long side (job 'S')
};

// Rank and conditioning of a decomposition for a relative tolerance.
// A value is kept when its magnitude is not below abstol and it is not zero;
// for an SVD (s non-increasing) the kept values are exactly s_0 .. s_{rank-1}.
struct DecompInfo {
  std::uint32_t rank = 0;  // number of kept values
  double mins = 0.0;       // smallest entry of s
  double maxs = 0.0;       // largest entry of s
  double minnzs = 0.0;     // smallest kept magnitude (0 when nothing is kept)
  double maxnzs = 0.0;     // largest kept magnitude (0 when nothing is kept)
  double abstol = 0.0;     // tol * largest magnitude: the absolute cut
  double cond = 0.0;       // largest / smallest magnitude; inf when the smallest is 0
  double nzcond = 0.0;     // maxnzs / minnzs (0 when nothing is kept)
  double cutoff = 0.0;     // minnzs / largest cut magnitude when a value is cut, else 0
};

class DecomposedGeneralMatrix {
 public:
  MatrixTemplate<double> a;   // work copy of the input; destroyed by computeSVD
  MatrixTemplate<double> U;   // left singular vectors in its columns
  MatrixTemplate<double> VT;  // right singular vectors in its rows
  std::valarray<double> s;    // the min(m, n) singular values, non-increasing
  std::valarray<double> sign; // +1 / -1 per value (see computeSVD)
  double relErrDecomp = 0.0;  // ||U diag(s) VT - A|| / ||A|| with checks on
  double relErrRecon = 0.0;   // reconErrorM(A) with checks on
  double relErrUnitary = 0.0; // unitaryError() with checks on
  std::int32_t lapackInfo = 0;
  bool thin = false;          // shape of the last SVD: true for SvdShape::thin
  bool symmetric = false;     // set by the eigen decompositions; informational

  DecomposedGeneralMatrix() = default;
  // Copies A into `a`, factorises it and, with checks on, fills the three
  // error members. Without a choice, the checks of defaultDecompChecks().
  DecomposedGeneralMatrix(const MatrixTemplate<double>& A, SvdShape shape);
  DecomposedGeneralMatrix(const MatrixTemplate<double>& A, SvdShape shape, DecompChecks checks);

  DecomposedGeneralMatrix(const DecomposedGeneralMatrix&) = default;
  DecomposedGeneralMatrix(DecomposedGeneralMatrix&&) = default;
  DecomposedGeneralMatrix& operator=(const DecomposedGeneralMatrix&) = default;
  DecomposedGeneralMatrix& operator=(DecomposedGeneralMatrix&&) = default;
  virtual ~DecomposedGeneralMatrix() = default;

  // Factorises the current contents of `a` (destroying them) and fills U,
  // VT, s, sign, lapackInfo and thin. Shapes, with k = min(m, n):
  //   thin, m < n:  U m x m, VT m x n;   thin, m >= n: U m x n, VT n x n;
  //   full:         U m x m, VT n x n.
  // sign_i is the sign of (column i of U) . (row i of VT) when m = n (zero
  // and NaN give -1), and +1 otherwise. No error members are computed.
  void computeSVD(SvdShape shape);

  DecompInfo info(double tol) const;

  // The inverted values: d_i = 1 / s_i for every kept value (see DecompInfo);
  // a value that is not kept becomes 0 with `clear`, else the cap value
  // 1 / max(smallest magnitude, tol * largest magnitude) with `cap`, else
  // stays s_i. The cap value is 0 when that maximum is 0, so no weight comes
  // from a division by zero. Writes the number of kept values into `rank`
  // and prints two "IDiag: " lines to standard error.
  std::valarray<double> idiag(double tol, unsigned& rank, bool clear, bool cap) const;

  // The regularised inverse V * diag(w) * U^T over the k value pairs, n x m,
  // with w_i = 1 / s_i for the kept values and w_i = s_i for the others.
  // Prints the same two lines as idiag.
  MatrixTemplate<double> resol(double tol) const;

  // The error measures; A is the matrix that was decomposed.
  // ||U * diag(s) * VT - A||_F / ||A||_F.
  virtual double decompErrorM(const MatrixTemplate<double>& A) const;
  // ||U^T * A * VT^T - diag(s)||_F / ||A||_F.
  virtual double reconErrorM(const MatrixTemplate<double>& A) const;
  // ||U^T U - I||_F / ||U||_F.
  virtual double unitaryError() const;

 protected:
  // The three error members against A, with the formulas of this class.
  void computeErrors(const MatrixTemplate<double>& A);
};
