// The dense direction kinds of the least-squares driver and the truncated
// SVD solve, on small Jacobians with known answers, under traps.

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "leastsq/trovik_host.h"
#include "leastsq/truncated_svd_solve.h"
#include "support/fp_traps.h"

namespace {

using namespace trovik_host;
using Matrix = MatrixTemplate<double>;

struct Direction {
  Vec d;
  std::string err;
};

Direction directionOf(SearchDir kind, const Matrix& J, Vec r) {
  FreshOptions fresh;
  TrovikOptimizationTask task;
  const Vec x(0.0, J.cols);
  FpTrapGuard traps;
  testing::internal::CaptureStderr();
  Direction out{task.mkSearchDir(kind, x, r, J), ""};
  out.err = testing::internal::GetCapturedStderr();
  return out;
}

void expectNear(const Vec& a, const Vec& b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], tol) << i;
}

TEST(TrovikDirections, DenseKinds) {
  const Matrix J(2, 2, Vec{1.0, 2.0, 3.0, 4.0});
  const Vec r{1.0, 1.0};
  const Vec newton{1.0, -1.0};  // J d = -r
  expectNear(directionOf(SearchDir::SD0, J, r).d, Vec{-4.0, -6.0}, 0.0);
  expectNear(directionOf(SearchDir::SD2, J, r).d, newton, 1e-14);
  const Direction sd3 = directionOf(SearchDir::SD3, J, r);
  expectNear(sd3.d, newton, 1e-7);  // each value shifted by 1e-9 s_0
  EXPECT_NE(sd3.err.find("Bad cond: "), std::string::npos);
  expectNear(directionOf(SearchDir::SD4, J, r).d, newton, 1e-13);
  // SD5 is matrix-free only; SD1 gives nothing here.
  for (const SearchDir kind : {SearchDir::SD5, SearchDir::SD1})
    expectNear(directionOf(kind, J, r).d, Vec{0.0, 0.0}, 0.0);
}

TEST(TrovikDirections, SingularAndWideJacobians) {
  // A zero column: SD3 keeps the other variable's Gauss-Newton step and
  // moves the free one by at most its shifted share.
  const Matrix zeroColumn(2, 2, Vec{2.0, 0.0, 1.0, 0.0});
  const Vec r{2.0, 1.0};
  const Direction sd3 = directionOf(SearchDir::SD3, zeroColumn, r);
  EXPECT_NE(sd3.err.find("Bad cond: inf"), std::string::npos) << sd3.err;
  EXPECT_NEAR(sd3.d[0], -1.0, 1e-8);
  EXPECT_EQ(directionOf(SearchDir::SD2, zeroColumn, r).d[0], 0.0);  // dgels: singular R

  // 2 x 3: two singular values for a minimum rank of 3.
  const Matrix wide(2, 3, Vec{1.0, 0.0, 1.0, 0.0, 1.0, 0.0});
  const Vec rw{1.0, -1.0};
  expectNear(directionOf(SearchDir::SD2, wide, rw).d, Vec{0.0, 0.0, 0.0}, 0.0);
  const Direction sd4 = directionOf(SearchDir::SD4, wide, rw);
  expectNear(sd4.d, Vec{-0.5, 1.0, -0.5}, 1e-14);  // the minimum-norm solution
  EXPECT_NE(sd4.err.find("Min Rank: 2 "), std::string::npos) << sd4.err;

  // J = 0: no singular value to divide by.
  for (const SearchDir kind : {SearchDir::SD3, SearchDir::SD4})
    expectNear(directionOf(kind, Matrix(2, 2), r).d, Vec{0.0, 0.0}, 0.0);
}

TEST(TrovikDirections, TruncatedSolveBelowTheMinimumRank) {
  FpTrapGuard traps;
  // diag(4, 1e-9): with tol 1e-7 only 4 is kept; the minimum rank 2 gives
  // the second value its own size as weight.
  const DecomposedGeneralMatrix svd(Matrix(2, 2, Vec{4.0, 0.0, 0.0, 1e-9}), SvdShape::thin);
  testing::internal::CaptureStderr();
  const Vec one = truncatedSVDSolve(svd, 1, Vec{8.0, 1.0}, 1e-7);
  const Vec two = truncatedSVDSolve(svd, 2, Vec{8.0, 1.0}, 1e-7);
  const std::string err = testing::internal::GetCapturedStderr();
  expectNear(one, Vec{2.0, 0.0}, 1e-15);
  expectNear(two, Vec{2.0, 1e-9}, 1e-15);
  EXPECT_NE(err.find("Rank: 1 rcond 1\nMin Rank: 1 rcond 1\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Min Rank: 2 rcond 2.5e-10\n"), std::string::npos) << err;

  // Every value cut: rank 0 prints rcond 0.
  const DecomposedGeneralMatrix tiny(Matrix(2, 2, Vec{1.0, 0.0, 0.0, 1.0}), SvdShape::thin);
  testing::internal::CaptureStderr();
  truncatedSVDSolve(tiny, 0, Vec{1.0, 1.0}, 2.0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Rank: 0 rcond 0\n"), std::string::npos);
}

}  // namespace
