// The VKR Krylov solver, alone and on the damped normal equations, and
// preconditioned CG on those equations.

#include "steps/cg_normal_solver.h"
#include "steps/vkr_solver.h"

#include <gtest/gtest.h>

#include <tuple>

#include "step_test_util.h"
#include "steps/step_limits.h"

namespace {

using namespace step_test;

TEST(VKRSolver, SolvesSystemsAndKeepsTheNextBasisRow) {
  // A nonsymmetric 10 x 10 system, well conditioned by its diagonal.
  Matrix A = randomMatrix(10, 10, 21);
  for (std::size_t i = 0; i < 10; ++i) A(i, i) += 4.0;
  DenseProduct op{A};
  const Vec b = randomVector(10, 22);
  VKRInfo info(10, 1e-14, 1e6, 14, vkrStepLimit(10, 14));
  Vec x;
  withoutStderr([&] { EXPECT_EQ(VKRSolver(info, op, op).solve(b, Vec(0.0, 10), x), 0); });
  EXPECT_LT(maxAbsDiff(x, gesv(A, b)), 1e-11);
  EXPECT_LE(info.relResidual, 1e-14);
  EXPECT_LE(info.steps, 10u);
  EXPECT_EQ(op.calls, static_cast<int>(info.steps) + 1);  // A x0 and one per step

  // The damped normal equations through VKRNormalSolver equal LAPACKE_dposv.
  const Matrix J = randomMatrix(15, 6, 23);
  DenseProduct Jv{J}, JTw{J, true};
  const Vec d{1e-2, 0.5, 1.0, 2.0, 1e-3, 0.1}, c = randomVector(6, 24);
  VKRInfo normalInfo(6, 1e-14, 1e6, 14, vkrStepLimit(6, 14));
  withoutStderr([&] {
    EXPECT_EQ(VKRNormalSolver(normalInfo, 15, 6, Jv, JTw, d).solve(c, Vec(0.0, 6), x), 0);
  });
  EXPECT_LT(maxAbsDiff(x, posv(dampedNormalMatrix(J, d), c)), 1e-10);
  EXPECT_EQ(Jv.calls, JTw.calls);

  // Five steps of the 10 x 10 system keep basis row 5 for another
  // right-hand side.
  info = VKRInfo(10, 1e-14, 1e6, 14, 5);
  withoutStderr([&] { VKRSolver(info, op, op).solve(b, Vec(0.0, 10), x); });
  const std::size_t k = info.steps;
  ASSERT_EQ(k, 5u);
  EXPECT_EQ(info.basis.rows, k);
  ASSERT_GE(info.basis.elements.size(), (k + 1) * 10);
  // Rows 0 .. k are orthonormal and A v_(k-1) lies in their span (the
  // Arnoldi relation that a reuse of the record relies on).
  Matrix V(k + 1, 10, info.basis.elements[std::slice(0, (k + 1) * 10, 1)]);
  Matrix G = transposed(do_transpose(V)) * do_transpose(V);
  for (std::size_t i = 0; i <= k; ++i)
    for (std::size_t j = 0; j <= k; ++j) EXPECT_NEAR(G(i, j), i == j ? 1.0 : 0.0, 1e-13);
  Vec w = times(A, V.elements[std::slice((k - 1) * 10, 10, 1)]);
  w -= matrixTransposeVectorProduct(V, times(V, w));
  EXPECT_LT(normfro(w), 1e-12);
}

TEST(VKRSolver, DegenerateSystemsNeverDivideByZero) {
  const Matrix twoI = decomp_test::diagonal({2, 2, 2, 2, 2, 2});
  const Vec b = randomVector(6, 41), x0 = randomVector(6, 42);
  struct Case {
    const char* name;
    Vec b, x0;
    std::uint32_t maxSteps;
    Vec want;
    int products;
    double relres;
  } const cases[] = {
      {"b = 0 gives 0 without a product", Vec(0.0, 6), x0, 6, Vec(0.0, 6), 0, 0.0},
      {"an exact start is returned", b, b / 2.0, 6, b / 2.0, 1, 0.0},
      {"no step keeps the start", b, x0, 0, x0, 1, normfro(b - 2.0 * x0) / normfro(b)},
      {"converged after one step", b, x0, 6, b / 2.0, 2, 0.0},
      {"exact happy breakdown: a zero basis row", Vec{3.0, 0, 0, 0, 0, 0}, Vec(0.0, 6), 6,
       Vec{1.5, 0, 0, 0, 0, 0}, 2, 0.0},
  };
  for (const Case& c : cases) {
    DenseProduct op{twoI};
    VKRInfo info(6, 1e-14, 1e6, 14, c.maxSteps);
    Vec x;
    StderrCapture quiet;
    EXPECT_EQ(VKRSolver(info, op, op).solve(c.b, c.x0, x), 0) << c.name;
    EXPECT_LT(maxAbsDiff(x, c.want), 1e-15) << c.name;
    EXPECT_EQ(op.calls, c.products) << c.name;
    EXPECT_NEAR(info.relResidual, c.relres, 1e-14) << c.name;
  }

  // A NaN product ends the solve with the start and a status.
  DenseProduct bad{twoI};
  bad.poison = 2;
  VKRInfo badInfo(6, 1e-14, 1e6, 14, 6);
  Vec x;
  withoutStderr(
      [&] { EXPECT_EQ(VKRSolver(badInfo, bad, bad).solve(b, x0, x), StepStatus::NonFinite); });
  EXPECT_EQ(maxAbsDiff(x, x0), 0.0);
  EXPECT_EQ(bad.calls, 2);
}

TEST(CGNormalSolver, EqualsTheDirectSolveAndStopsOnAFailedProduct) {
  // Columns of very different scale, so that the diagonal preconditioner
  // matters; a zero d_i is passed through by the preconditioner.
  Closures P(randomMatrix(12, 5, 11) *= decomp_test::diagonal({1, 100, 1, 0.01, 1}));
  const Vec b = randomVector(5, 12);
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
  nanB[2] = kNaN;
  EXPECT_EQ(solver.solve(nanB, x), StepStatus::NonFinite);
  EXPECT_EQ(P.Jv.calls, calls + 3);
}

TEST(StepLimits, PowersOfDecscaleClampedByTheDimensions) {
  // decscale, 2^decscale, the BID and VKR limits for 100000 x 70000 and order 70000.
  using Row = std::tuple<unsigned, std::uint64_t, std::uint32_t, std::uint32_t>;
  const Row rows[] = {
      {14, 16384, 16384, 16383}, {0, 1, 1, 0}, {32, 1, 1, 0}, {31, 2147483648u, 70000, 70000}};
  for (const auto& [decscale, power, bid, vkr] : rows) {
    EXPECT_EQ(decscalePower(decscale), power) << decscale;
    EXPECT_EQ(bidStepLimit(100000, 70000, decscale), bid) << decscale;
    EXPECT_EQ(vkrStepLimit(70000, decscale), vkr) << decscale;
  }
}

}  // namespace
