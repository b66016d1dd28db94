// The dense direction kinds of the least-squares driver and the truncated
// SVD solve, on small Jacobians with known answers, under traps.

#include <cmath>
#include <string>

#include "leastsq/trovik_fixture.h"
#include "leastsq/truncated_svd_solve.h"

namespace {

using namespace trovik_host;
using Matrix = MatrixTemplate<double>;

TEST(TrovikDirections, DenseKinds) {
  const Matrix square(2, 2, Vec{1.0, 2.0, 3.0, 4.0}), zeroColumn(2, 2, Vec{2.0, 0.0, 1.0, 0.0}),
      wide(2, 3, Vec{1.0, 0.0, 1.0, 0.0, 1.0, 0.0}), zero(2, 2);
  const Vec r{1.0, 1.0}, r2{2.0, 1.0}, rw{1.0, -1.0}, newton{1.0, -1.0}, none{0.0, 0.0};
  const double kNaN = std::nan("");
  struct Case {
    SearchDir kind;
    const Matrix& J;
    const Vec& r;
    Vec expected;  // NaN: not checked
    double tolerance;
    const char* message;
  };
  const Case cases[] = {
      {SearchDir::SD0, square, r, {-4.0, -6.0}, 0.0, ""},
      {SearchDir::SD2, square, r, newton, 1e-14, ""},
      {SearchDir::SD3, square, r, newton, 1e-7, "Bad cond: "},  // each value shifted by 1e-9 s_0
      {SearchDir::SD4, square, r, newton, 1e-13, ""},
      // SD5 is matrix-free only; SD1 gives nothing here.
      {SearchDir::SD5, square, r, none, 0.0, ""},
      {SearchDir::SD1, square, r, none, 0.0, ""},
      // A zero column: SD3 keeps the other variable's Gauss-Newton step and
      // moves the free one by at most its shifted share; dgels sees a
      // singular R.
      {SearchDir::SD3, zeroColumn, r2, {-1.0, kNaN}, 1e-8, "Bad cond: inf"},
      {SearchDir::SD2, zeroColumn, r2, {0.0, kNaN}, 0.0, ""},
      // 2 x 3: two singular values for a minimum rank of 3; the minimum-norm
      // solution.
      {SearchDir::SD2, wide, rw, {0.0, 0.0, 0.0}, 0.0, ""},
      {SearchDir::SD4, wide, rw, {-0.5, 1.0, -0.5}, 1e-14, "Min Rank: 2 "},
      // J = 0: no singular value to divide by.
      {SearchDir::SD3, zero, r2, none, 0.0, ""},
      {SearchDir::SD4, zero, r2, none, 0.0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << sdname(c.kind) << " on " << c.J.rows << " x " << c.J.cols);
    FreshOptions fresh;
    TrovikOptimizationTask task;
    Vec r = c.r;
    const FpTrapGuard traps;
    testing::internal::CaptureStderr();
    const Vec d = task.mkSearchDir(c.kind, Vec(0.0, c.J.cols), r, c.J);
    const std::string err = testing::internal::GetCapturedStderr();
    expectNear(d, c.expected, c.tolerance);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

TEST(TrovikDirections, TruncatedSolveBelowTheMinimumRank) {
  FpTrapGuard traps;
  // diag(4, 1e-9): with tol 1e-7 only 4 is kept; the minimum rank 2 gives
  // the second value its own size as weight.
  const DecomposedGeneralMatrix svd(Matrix(2, 2, Vec{4.0, 0.0, 0.0, 1e-9}), SvdShape::thin);
  testing::internal::CaptureStderr();
  expectNear(truncatedSVDSolve(svd, 1, Vec{8.0, 1.0}, 1e-7), Vec{2.0, 0.0}, 1e-15);
  expectNear(truncatedSVDSolve(svd, 2, Vec{8.0, 1.0}, 1e-7), Vec{2.0, 1e-9}, 1e-15);
  // Every value cut: rank 0 prints rcond 0.
  const DecomposedGeneralMatrix unit(Matrix(2, 2, Vec{1.0, 0.0, 0.0, 1.0}), SvdShape::thin);
  truncatedSVDSolve(unit, 0, Vec{1.0, 1.0}, 2.0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Rank: 1 rcond 1\nMin Rank: 1 rcond 1\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Min Rank: 2 rcond 2.5e-10\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Rank: 0 rcond 0\n"), std::string::npos) << err;
}

}  // namespace
