#pragma once
// Column-pivoted QR factorisation A P = Q R (LAPACKE_dgeqp3) and solves with
// the leading triangle of its R (LAPACKE_dtrtrs).
//
// Callers apply Q and Q^T themselves with LAPACKE_dormqr on `qr` and `tau`
// (k = min(m, n) reflectors) and undo the permutation with the 1-based
// `jpvt`. Every factorisation and every solve writes a trace line and a timer
// line to standard error.

#include <cstdint>
#include <valarray>
#include <vector>

#include "dense/decomp_checks.h"
#include "dense/matrix.h"

class LapQRDecomposed {
 public:
  MatrixTemplate<double> qr;  // m x n: R on and above the diagonal, reflectors below
  MatrixTemplate<double> R;   // m x n: the upper triangle of the first k rows of qr, else 0
  std::valarray<double> tau;  // m entries; the first k are the reflector scalars
  std::vector<std::int32_t> jpvt;  // n entries: jpvt[j] = 1-based column of A at position j
  std::uint32_t m = 0;
  std::uint32_t n = 0;
  std::uint32_t k = 0;  // min(m, n)
  double relErrDecomp = 0.0;   // not computed by this class; always 0
  double relErrRecon = 0.0;    // not computed by this class; always 0
  double relErrUnitary = 0.0;  // unitaryError() with checks on
  std::int32_t lapackInfo = 0; // code of LAPACKE_dgeqp3

  // Factorises A; prints "QR " m " x " n and the timer line "qr_". A LAPACK
  // failure (or factors left non-finite) only leaves its code in lapackInfo,
  // with jpvt the identity. Without a choice of checks, those of
  // defaultDecompChecks().
  explicit LapQRDecomposed(const MatrixTemplate<double>& A);
  LapQRDecomposed(const MatrixTemplate<double>& A, DecompChecks checks);
  virtual ~LapQRDecomposed() = default;

  virtual double decompError(const MatrixTemplate<double>&) const { return 0.0; }
  virtual double reconError(const MatrixTemplate<double>&) const { return 0.0; }
  // ||Q^T Q - I||_F / ||Q||_F for the m x m factor Q built from the k
  // reflectors.
  virtual double unitaryError() const;

  // x = Q^T x for x of m entries, quietly (x may be a host's).
  void applyQT(std::valarray<double>& x) const;
};

// Solves with the leading upper triangle of a factor, typically the R of a
// LapQRDecomposed. Owns nothing: the factor must outlive it.
struct SolveTri {
  const MatrixTemplate<double>* factor = nullptr;
  std::uint32_t n = 0;     // leading dimension of the factor (its column count)
                           // and the length of the solution
  std::uint32_t rank = 0;  // order of the triangle to solve with

  SolveTri() = default;
  // A view of `factor` with leading dimension n; order_ 0 stands for the full
  // order n.
  SolveTri(const MatrixTemplate<double>* factor_, std::uint32_t n_, std::uint32_t order_ = 0)
      : factor(factor_), n(n_), rank(order_ == 0 ? n_ : order_) {}

  // Solves T y = x (or T^T y = x with `transpose`) in place with the leading
  // rank x rank triangle T, then sets x[rank .. n-1] to 0 (all of x for rank
  // 0). Prints "TR " rank and the timer line "tr_". Returns the LAPACK code: a
  // positive value names a zero on the diagonal, the solution is then not
  // computed. Throws std::invalid_argument when the factor is missing or too
  // small for the triangle, rank exceeds n, or x holds fewer than n entries.
  int solve(std::valarray<double>& x, bool transpose) const;
};
