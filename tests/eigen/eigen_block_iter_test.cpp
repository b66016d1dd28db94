// The block power iteration with deflation on diagonal operators, whose
// eigenpairs are known.

#include <cmath>
#include <stdexcept>
#include <valarray>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "eigen/eigen_block_iter.h"
#include "linear/sized_operator.h"

namespace {

using Vec = std::valarray<double>;

// y = diag(d) x with the options EigenBlockIter reads.
struct Diagonal {
  Vec d;
  Vec operator()(const Vec& x) const { return d * x; }
};

OptionMap eigOptions(long n, long k, long maxit, double tol = 1e-10) {
  return {{"dim_m", n}, {"dim_n", n}, {"k", k}, {"maxit", maxit}, {"tol", tol}, {"relax", 0L}};
}

TEST(EigenBlockIter, FindsTheDominantEigenpairsOfADiagonalMatrix) {
  const Diagonal diag{{1.0, 10.0, 0.5, 4.0, 2.0, 7.0}};
  const SizedVectorFunction<Diagonal> A(eigOptions(6, 2, 1000), diag);
  EigenBlockIter eig(A, {});
  eig.iterate({{"findall", 1L}});

  EXPECT_EQ(eig.locked, 2);
  EXPECT_NEAR(eig.eigenvalues[0], 10.0, 1e-9);
  EXPECT_NEAR(eig.eigenvalues[1], 7.0, 1e-9);
  EXPECT_NEAR(std::fabs(eig.block[0][1]), 1.0, 1e-9);  // +-e2
  EXPECT_NEAR(std::fabs(eig.block[1][5]), 1.0, 1e-9);  // +-e6
  for (long j = 0; j < 2; ++j) EXPECT_LT(std::fabs(eig.relres[j]), 1e-10);
  // Every outer step updates both vectors (relax 0, nothing frozen before
  // convergence), plus the step that ends the run.
  EXPECT_GT(eig.steps, 0);
  EXPECT_LE(eig.calls, 2 * (eig.steps + 1));
  // Normalisation k, two per update, k for the final pass.
  EXPECT_EQ(eig.work, 2 + 2 * eig.calls + 2);
}

TEST(EigenBlockIter, StopsAtTheFirstLockUnlessAllAreWanted) {
  // v0 converges at the rate 5/10, v1 at 4/5: with "findall" 0 the run ends
  // as soon as v0 passes.
  const Diagonal diag{{10.0, 5.0, 4.0, 1.0}};
  const SizedVectorFunction<Diagonal> A(eigOptions(4, 2, 1000), diag);
  EigenBlockIter first(A, {Vec{1.0, 1.0, 1.0, 1.0}, Vec{1.0, 2.0, 3.0, 4.0}});
  first.iterate({});
  EXPECT_EQ(first.locked, 1);
  EXPECT_NEAR(first.eigenvalues[0], 10.0, 1e-9);
  EXPECT_GT(first.relres[1], 1e-10);

  // A vector that has converged is frozen once below tol * skipreltol; with
  // skipreltol 0 none ever is, so both vectors are updated in every step.
  const SizedVectorFunction<Diagonal> B(
      map_union(eigOptions(4, 2, 1000), {{"skipreltol", 0.0}}), diag);
  EigenBlockIter never(B, {Vec{1.0, 1.0, 1.0, 1.0}, Vec{1.0, 2.0, 3.0, 4.0}});
  never.iterate({{"findall", 1L}});
  EXPECT_EQ(never.locked, 2);
  EXPECT_EQ(never.calls, 2 * (never.steps + 1));
  const SizedVectorFunction<Diagonal> C(
      map_union(eigOptions(4, 2, 1000), {{"skipreltol", 1e6}}), diag);
  EigenBlockIter frozen(C, {Vec{1.0, 1.0, 1.0, 1.0}, Vec{1.0, 2.0, 3.0, 4.0}});
  frozen.iterate({{"findall", 1L}});
  EXPECT_EQ(frozen.locked, 2);
  EXPECT_LT(frozen.calls, 2 * (frozen.steps + 1));
  EXPECT_NEAR(frozen.eigenvalues[1], 5.0, 1e-8);
}

TEST(EigenBlockIter, ConstructionAndDegenerateRuns) {
  const Diagonal diag{{3.0, 2.0, 1.0}};
  const SizedVectorFunction<Diagonal> A(eigOptions(3, 2, 0), diag);

  // Missing vectors become random ones in [0, 1); vectors of the right
  // length and extra ones are kept.
  EigenBlockIter eig(A, {Vec{1.0, 2.0, 3.0}, Vec{1.0}, Vec{4.0, 5.0, 6.0}});
  ASSERT_EQ(eig.block.size(), 3u);
  EXPECT_EQ(eig.block[0][2], 3.0);
  ASSERT_EQ(eig.block[1].size(), 3u);
  for (double e : eig.block[1]) EXPECT_TRUE(e >= 0.0 && e < 1.0);
  EXPECT_EQ(eig.block[2][0], 4.0);
  EigenBlockIter empty(A, {});
  ASSERT_EQ(empty.block.size(), 2u);
  EXPECT_EQ(empty.block[0].size(), 3u);

  // maxit 0: normalisation and an empty final pass only.
  eig.iterate({});
  EXPECT_EQ(eig.steps, 0);
  EXPECT_EQ(eig.calls, 0);
  EXPECT_EQ(eig.work, 4);
  EXPECT_EQ(eig.eigenvalues[0], 0.0);
  EXPECT_EQ(eig.relres[1], 0.0);
  EXPECT_NEAR(eig.block[0][2], 3.0 / std::sqrt(14.0), 1e-15);

  // The block product is the identity.
  const MatrixTemplate<double> M(3, 2, Vec{1.0, 2.0, 3.0, 4.0, 5.0, 6.0});
  const MatrixTemplate<double> R = eig(M);
  EXPECT_EQ(R.rows, 3u);
  EXPECT_EQ(R.cols, 2u);
  EXPECT_EQ(R(2, 1), 6.0);

  // Options of the wrong kind or missing, and a negative block size.
  const SizedVectorFunction<Diagonal> intTol(map_union(eigOptions(3, 2, 5), {{"tol", 1L}}), diag);
  EXPECT_THROW(EigenBlockIter(intTol, {}), std::bad_variant_access);
  OptionMap noMaxit = eigOptions(3, 2, 5);
  noMaxit.erase("maxit");
  const SizedVectorFunction<Diagonal> missing(noMaxit, diag);
  EXPECT_THROW(EigenBlockIter(missing, {}), std::bad_variant_access);
  const SizedVectorFunction<Diagonal> negK(eigOptions(3, -1, 5), diag);
  EXPECT_THROW(EigenBlockIter(negK, {}), std::invalid_argument);
  EXPECT_THROW(empty.iterate({{"findall", 1.0}}), std::bad_variant_access);
}

}  // namespace
