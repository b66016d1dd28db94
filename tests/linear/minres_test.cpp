// MINRES on symmetric indefinite systems, directly and through
// zelkcomp_linsolve.

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lapacke.h>

#include "linear/linsolve_call.h"
#include "linear/minres_solver.h"

namespace {

using namespace linsolve_test;

Host diagonalHost(const std::vector<double>& d) {
  const long n = static_cast<long>(d.size());
  std::vector<double> a(d.size() * d.size(), 0.0);
  for (long i = 0; i < n; ++i) a[static_cast<std::size_t>(i * n + i)] = d[static_cast<std::size_t>(i)];
  return Host(n, n, std::move(a));
}

// tridiag(-1, 2 - shift, -1): indefinite for 0 < shift < 4.
Host shiftedSecondDifference(long n, double shift) {
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  for (long i = 0; i < n; ++i) {
    a[static_cast<std::size_t>(i * n + i)] = 2.0 - shift;
    if (i + 1 < n) a[static_cast<std::size_t>(i * n + i + 1)] = a[static_cast<std::size_t>((i + 1) * n + i)] = -1.0;
  }
  return Host(n, n, std::move(a));
}

Vec denseSolve(const Host& h, const Vec& b) {
  std::vector<double> a = h.a;
  std::vector<lapack_int> piv(static_cast<std::size_t>(h.rows));
  Vec x = b;
  const int n = static_cast<int>(h.rows);
  EXPECT_EQ(LAPACKE_dgesv(LAPACK_ROW_MAJOR, n, 1, a.data(), n, piv.data(), &x[0], 1), 0);
  return x;
}

TEST(Minres, SolvesIndefiniteSystemsWithItsTraces) {
  Host h = diagonalHost({-3.0, -1.0, 2.0, 5.0});
  const Vec xTrue{1.0, -2.0, 0.5, 4.0};
  const Vec b = h.times(xTrue);
  LinsolveCall call(h, b, "minres");
  call.ATcb = nullptr;  // MINRES calls only A
  call.option("tol", 1e-12);
  ASSERT_EQ(call.run(), 0) << call.err;
  EXPECT_LT(maxAbsDiff(call.x, xTrue), 1e-12);
  EXPECT_LT(maxAbsDiff(call.y, h.times(call.x) - b), 1e-14);
  EXPECT_LE(call.res.it, 4);
  EXPECT_LT(call.res.residual, 1e-12);

  const std::size_t p391 = call.err.find("comp_linsolve:391: MINRES: Operator({{\"batchsize\", 10}");
  const std::size_t p392 = call.err.find("comp_linsolve:392: Start MINRES with x0=Vector(4), norm 0");
  const std::size_t p406 = call.err.find("comp_linsolve:406: norm(A*Xcg - B)/norm(B) = " +
                                         shown(call.res.relerr) + " < " + shown(1e-11) + " = 1\n");
  const std::size_t p408 = call.err.find("comp_linsolve:408: Operator({{");
  ASSERT_NE(p391, std::string::npos) << call.err;
  ASSERT_NE(p392, std::string::npos) << call.err;
  ASSERT_NE(p406, std::string::npos) << call.err;
  ASSERT_NE(p408, std::string::npos) << call.err;
  EXPECT_TRUE(p391 < p392 && p392 < p406 && p406 < p408);

  // A shifted second-difference matrix: eigenvalues on both sides of zero.
  Host t = shiftedSecondDifference(30, 1.0);
  Vec xt(30);
  for (std::size_t i = 0; i < xt.size(); ++i) xt[i] = std::sin(0.3 * static_cast<double>(i)) + 0.1;
  const Vec bt = t.times(xt);
  LinsolveCall callT(t, bt, "minres");
  callT.option("tol", 1e-11);
  callT.option("maxit", 200);
  const int rc = callT.run();
  EXPECT_EQ(rc & ~1, 0) << callT.err;  // at most "not below tol" at the very end
  EXPECT_LT(maxAbsDiff(callT.x, denseSolve(t, bt)), 1e-8);
}

TEST(Minres, ExactStartsKeepTheStartVector) {
  Host h = diagonalHost({-3.0, -1.0, 2.0, 5.0});

  // b = x0 = 0: nothing to solve, and no 0/0 may reach x.
  LinsolveCall zero(h, Vec(0.0, 4), "minres");
  zero.option("tol", 1e-12);
  ASSERT_EQ(zero.run(), 0) << zero.err;
  EXPECT_TRUE(zero.allEqual(zero.x, 0.0));
  EXPECT_TRUE(zero.allEqual(zero.y, 0.0));
  EXPECT_EQ(zero.res.it, 0);
  EXPECT_EQ(zero.res.relerr, 0.0);

  // A start that already solves the system is returned bit for bit.
  const Vec xTrue{1.0, 2.0, -1.0, 0.5};
  LinsolveCall exact(h, h.times(xTrue), "minres");
  exact.x0 = xTrue;
  exact.option("tol", 1e-12);
  ASSERT_EQ(exact.run(), 0) << exact.err;
  EXPECT_EQ(maxAbsDiff(exact.x, xTrue), 0.0);
  EXPECT_EQ(exact.res.it, 0);
}

TEST(Minres, StepLimitSaturatesInsteadOfWrapping) {
  Host h = diagonalHost({-3.0, -1.0, 2.0, 5.0});
  const Vec xTrue{1.0, -2.0, 0.5, 4.0};
  // 2^32 kept in 32 bits by truncation would be 0 steps and x = x0 = 0.
  LinsolveCall call(h, h.times(xTrue), "minres");
  call.option("tol", 1e-12);
  call.option("maxit", 4294967296.0);
  ASSERT_EQ(call.run(), 0) << call.err;
  EXPECT_LT(maxAbsDiff(call.x, xTrue), 1e-12);
}

TEST(Minres, StopsOnControlRequestAndHonoursZeroSteps) {
  const Vec d{-3.0, -1.0, 2.0, 5.0, 7.0, -6.0};
  IterationControl control{};
  int calls = 0;
  auto product = [&](const Vec& x) {
    if (++calls == 4) control.state = 1;  // as a failed host callback would
    return Vec(d * x);
  };
  const SizedVectorFunction<decltype(product)> A(
      {{"dim_m", 6L}, {"dim_n", 6L}, {"tol", 1e-14}, {"maxit", 50L}}, product);
  const Vec b{1.0, 1.0, 1.0, 1.0, 1.0, 1.0};

  MINRESSolver solver(A);
  Vec x(0.0, 6);
  solver.solve(b, x, &control);
  EXPECT_EQ(solver.flags, 32);
  EXPECT_LT(solver.it, 6);
  EXPECT_GT(solver.relerr, 0.0);

  const SizedVectorFunction<decltype(product)> none(
      {{"dim_m", 6L}, {"dim_n", 6L}, {"tol", 1e-14}, {"maxit", 0L}}, product);
  MINRESSolver idle(none);
  Vec start{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  idle.solve(b, start);
  EXPECT_EQ(start[5], 6.0);
  EXPECT_EQ(idle.it, 0);
  EXPECT_EQ(idle.residual, 0.0);

  const SizedVectorFunction<decltype(product)> wrongKind(
      {{"dim_m", 6L}, {"dim_n", 6L}, {"tol", 1L}, {"maxit", 5L}}, product);
  EXPECT_THROW(MINRESSolver{wrongKind}, std::bad_variant_access);
}

}  // namespace
