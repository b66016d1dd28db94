// The dense front end: least squares by LAPACK for "mvsolve" /
// "matrixvectorsolve", and its own checks.

#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <lapacke.h>

#include "dense/norms.h"
#include "linear/iteration_control.h"
#include "linear/linsolve_call.h"
#include "linear/linsolve_full.h"

namespace {

using namespace linsolve_test;

// x from LAPACKE_dgelsd called directly, as the front end calls it.
Vec dgelsdSolution(const Host& h, const Vec& b) {
  std::vector<double> a = h.a;
  Vec rhs = b, s(static_cast<std::size_t>(h.cols));
  lapack_int rank = 0;
  LAPACKE_dgelsd(LAPACK_ROW_MAJOR, static_cast<int>(h.rows), static_cast<int>(h.cols), 1,
                 a.data(), static_cast<int>(h.cols), &rhs[0], 1, &s[0], 1e-15, &rank);
  return rhs[std::slice(0, static_cast<std::size_t>(h.cols), 1)];
}

LinsolveCall denseCall(Host& h, const Vec& b, const char* method) {
  LinsolveCall c(h, b, method);
  c.A = h.a.data();
  c.Acb = c.ATcb = nullptr;
  return c;
}

TEST(LinsolveDense, LeastSquaresOnSquareTallAndRankDeficientMatrices) {
  // Square and non-singular: the exact solution.
  Host square(3, 3, {4.0, 1.0, 0.0, 1.0, 3.0, -1.0, 0.0, -1.0, 2.0});
  const Vec xTrue{1.0, -1.0, 2.0};
  const Vec bs = square.times(xTrue);
  LinsolveCall sq = denseCall(square, bs, "mvsolve");
  sq.x0 = Vec{9.0, 9.0, 9.0};  // the start plays no part
  ASSERT_EQ(sq.run(), 0) << sq.err;
  EXPECT_EQ(sq.err, "Solve LS: rank 3 of 3\n");
  EXPECT_LT(maxAbsDiff(sq.x, xTrue), 1e-13);
  EXPECT_LT(maxAbsDiff(sq.y, Vec(0.0, 3)), 1e-13);
  EXPECT_EQ(sq.res.status, 0);
  EXPECT_EQ(sq.res.it, 3);  // the rank
  EXPECT_EQ(sq.res.residual, 0.0);
  EXPECT_EQ(sq.res.relerr, relmaxnorm(square.times(sq.x), bs));
  EXPECT_EQ(sq.res.calls, 0);

  // Tall: the least-squares solution, bit for bit LAPACK's.
  Host tall = tallHost();
  const Vec b{1.0, 0.0, -1.0, 2.0, 0.5, 1.0};
  LinsolveCall ls = denseCall(tall, b, "matrixvectorsolve");
  ASSERT_EQ(ls.run(), 0) << ls.err;
  EXPECT_EQ(ls.err, "Solve LS: rank 3 of 3\n");
  const Vec ref = dgelsdSolution(tall, b);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(ls.x[i], ref[i]) << i;
  EXPECT_LT(maxAbsDiff(ls.x, normalEquationsSolution(tall, b)), 1e-12);
  EXPECT_LT(maxAbsDiff(ls.y, tall.times(ls.x) - b), 1e-14);
  // The residual of a least-squares solution is orthogonal to the columns.
  EXPECT_LT(maxAbsDiff(tall.times(ls.y, true), Vec(0.0, 3)), 1e-12);

  // A repeated column: the numerical rank shows in the line and in "it".
  Host deficient(4, 3, {1.0, 2.0, 1.0, 0.0, 1.0, 0.0, 3.0, -1.0, 3.0, 2.0, 2.0, 2.0});
  LinsolveCall rd = denseCall(deficient, Vec{1.0, 2.0, 3.0, 4.0}, "mvsolve");
  rd.run();
  EXPECT_EQ(rd.err, "Solve LS: rank 2 of 3\n");
  EXPECT_EQ(rd.res.it, 2);
  // The minimum-norm solution splits the repeated column's weight evenly.
  EXPECT_NEAR(rd.x[0], rd.x[2], 1e-12);
}

TEST(LinsolveDense, WideMatrixKeepsTheStart) {
  Host wide(2, 3, {1.0, 2.0, 3.0, -1.0, 0.5, 2.0});
  const Vec b{1.0, 1.0};
  LinsolveCall c = denseCall(wide, b, "mvsolve");
  c.x0 = Vec{1.0, -1.0, 0.5};
  ASSERT_EQ(c.run(), 0) << c.err;
  EXPECT_EQ(c.err, "");  // no LAPACK call, no rank line
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(c.x[i], c.x0[i]);
  EXPECT_EQ(c.res.it, 0);
  EXPECT_LT(maxAbsDiff(c.y, wide.times(c.x0) - b), 1e-15);
}

TEST(LinsolveDense, FrontEndChecksItsInputs) {
  const MatrixTemplate<double> A(2, 2, Vec{2.0, 0.0, 0.0, 4.0});
  IterationControl control;
  const SizedOperator withControl(OptionMap{{"control", static_cast<void*>(&control)},
                                            {"tol", 1e-12},
                                            {"maxit", 10L}});
  Vec y;
  testing::internal::CaptureStderr();
  const AlgoStatus ok =
      Zelk::linsolve_full("mvsolve", A, Vec{2.0, 4.0}, Vec{0.0, 0.0}, y, withControl);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Solve LS: rank 2 of 2\n");
  EXPECT_EQ(ok.code(), 0);
  EXPECT_DOUBLE_EQ(ok.x[0], 1.0);
  EXPECT_DOUBLE_EQ(ok.x[1], 1.0);
  EXPECT_EQ(ok.geti("calls", -1), 0);
  EXPECT_EQ(ok.geti("maxit", -1), 10);  // the options come along

  const SizedOperator noControl(OptionMap{{"tol", 1e-12}, {"maxit", 10L}});
  EXPECT_THROW(Zelk::linsolve_full("mvsolve", A, Vec{2.0, 4.0}, Vec{0.0, 0.0}, y, noControl),
               std::bad_variant_access);
  // Vectors that do not fit the matrix would be read past their end.
  EXPECT_THROW(Zelk::linsolve_full("mvsolve", A, Vec{2.0}, Vec{0.0, 0.0}, y, withControl),
               std::invalid_argument);
  EXPECT_THROW(Zelk::linsolve_full("cg", A, Vec{2.0, 4.0}, Vec{0.0}, y, withControl),
               std::invalid_argument);
}

}  // namespace
