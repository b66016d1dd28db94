// Preconditioned CG on the damped normal equations (J^T J + diag(d)) x = b.

#include "steps/cg_normal_solver.h"

#include <gtest/gtest.h>

#include "step_test_util.h"
#include "support/fp_traps.h"

namespace {

using namespace step_test;

TEST(CGNormalSolver, EqualsTheDirectSolveAndStopsOnAFailedProduct) {
  FpTrapGuard traps;
  // Columns of very different scale, so that the diagonal preconditioner
  // matters; a zero d_i is passed through by the preconditioner.
  Closures P(randomMatrix(12, 5, 11));
  const Vec b = randomVector(5, 12);
  for (std::size_t i = 0; i < P.J.rows; ++i) P.J(i, 1) *= 100.0, P.J(i, 3) *= 0.01;
  StderrCapture quiet;
  Vec x;
  for (const Vec& d : {Vec{0.5, 0.5, 0.5, 0.5, 0.5}, Vec{1e-3, 10.0, 0.0, 1e-3, 2.0}}) {
    CGNormalSolver solver(12, 5, P.Jv, P.JTw, d, 1e-13, 200);
    EXPECT_EQ(solver.solve(b, x), 0);
    const Vec want = posv(dampedNormalMatrix(P.J, d), b);
    EXPECT_LT(maxAbsDiff(x, want), 1e-9 * Vec(std::abs(want)).max());
    EXPECT_GT(solver.iterations, 0);
    EXPECT_EQ(P.Jv.calls, P.JTw.calls);  // one of each per application
  }

  // b = 0 costs no product; NaN from the host at the third J v ends the
  // solve there, and a NaN right-hand side before any product.
  const Vec d(1.0, 5);
  CGNormalSolver solver(12, 5, P.Jv, P.JTw, d, 1e-13, 200);
  const int calls = P.Jv.calls;
  x = Vec{7.0};
  EXPECT_EQ(solver.solve(Vec(0.0, 5), x), 0);
  EXPECT_EQ(maxAbsDiff(x, Vec(0.0, 5)), 0.0);
  P.Jv.poison = calls + 3;
  EXPECT_NE(solver.solve(b, x) & StepStatus::NonFinite, 0);
  EXPECT_EQ(maxAbsDiff(x, Vec(0.0, 5)), 0.0);
  EXPECT_EQ(P.Jv.calls, calls + 3);
  Vec nanB = b;
  nanB[2] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(solver.solve(nanB, x), StepStatus::NonFinite);
  EXPECT_EQ(P.Jv.calls, calls + 3);
}

}  // namespace
