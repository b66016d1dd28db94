#pragma once
// Block power iteration with progressive deflation for the k dominant
// eigenpairs of a symmetric operator. Block vector j is orthogonalised
// against the vectors before it, multiplied by the operator and normalised;
// vectors lock one by one as their relative residual falls below `tol`, and
// a locked vector stops being updated once its residual is below
// tol * skipreltol. The "haircut" CG method builds its filter from the
// resulting block.
//
// As a block operator the object is the identity; it carries a copy of the
// wrapped operator's options so that it can be handed on like any sized
// operator.

#include <valarray>
#include <vector>

#include "dense/matrix.h"
#include "linear/sized_operator.h"

class EigenBlockIter : public SizedMatrixOperator {
 public:
  const SizedVectorOperator* op;  // the operator A; not owned
  long dim_m;                     // output length of A
  long dim_n;                     // length of every block vector
  double tol;                     // convergence threshold on the relative residual
  double skipreltol;              // locked vectors freeze below tol * skipreltol
  long maxit;                     // limit of outer steps
  long relax;                     // outer steps per newly activated vector
  long k;                         // number of block vectors
  long steps = 0;                 // outer steps completed
  long calls = 0;                 // operator applications in the outer steps
  long work = 0;                  // vector normalisations and updates
  long locked = 0;                // converged vectors
  std::vector<std::valarray<double>> block;
  std::valarray<double> weights;      // weight of each vector in the deflation
  std::valarray<double> eigenvalues;  // Rayleigh quotients
  std::valarray<double> relres;       // relative residuals

  // Reads "dim_m", "maxit" (long) and "tol" (double), all required, and
  // "skipreltol" (0.1), "relax" (5) and "k" (2) from A's options; a key of
  // another kind raises std::bad_variant_access, a negative "k" or
  // "dim_n" std::invalid_argument. The block is the given one padded with
  // empty vectors to k; each of the first k vectors that does not have
  // dim_n entries is replaced by dim_n random numbers in [0, 1).
  EigenBlockIter(const SizedVectorOperator& A, const std::vector<std::valarray<double>>& block_);
  EigenBlockIter(const SizedVectorOperator&&, const std::vector<std::valarray<double>>&) = delete;

  // A copy of M.
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& M) const override { return M; }

  // Runs the iteration. Keys (long, each optional): "findall" (0: stop at
  // the first step that locks any vector; otherwise go on until all k are
  // locked), "relax" (>= 0 overrides the object's relax for this run; low 32
  // bits used), "normalized" (non-zero: the block is already of unit
  // length), "computeritz" (default 1: recompute the Rayleigh quotients and
  // residuals of the locked vectors at the end). Another kind raises
  // std::bad_variant_access.
  void iterate(const OptionMap& options);
};
