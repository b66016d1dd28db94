// LSRN solves of the least-squares steps on dense closures: the plain and
// the damped problem against LAPACK, the block sketch, and the failures.

#include "steps/lsrn_step_solver.h"

#include <gtest/gtest.h>

#include "step_test_util.h"

namespace {

using namespace step_test;

using Solver = LSRNStepSolver<DenseProduct, DenseProduct, DenseBlockTransposed>;

Solver solver(Closures& c, bool block, double oversample) {
  const auto m = static_cast<std::uint32_t>(c.J.rows), n = static_cast<std::uint32_t>(c.J.cols);
  return block ? Solver(m, n, c.Jv, c.JTw, c.JTW, oversample)
               : Solver(m, n, c.Jv, c.JTw, oversample);
}

TEST(LSRNStepSolver, SolvesLeastSquaresProblems) {
  const Matrix scales = decomp_test::diagonal({1e-3, 5e-3, 2e-2, 0.1, 0.5, 2, 10, 50, 200, 1e3});
  struct Case {
    const char* name;
    Matrix J;
    bool block;
    bool rankDeficient;
  } const cases[] = {
      {"40 x 10, block sketch", randomMatrix(40, 10, 1), true, false},
      {"40 x 10, vector sketch", randomMatrix(40, 10, 2), false, false},
      {"40 x 10, columns over 1e6", randomMatrix(40, 10, 3) *= scales, true, false},
      {"40 x 10 of rank 7", lowRankMatrix(40, 10, 7, 4), true, true},
  };
  for (const Case& k : cases) {
    Closures c(k.J);
    const Vec b = randomVector(40, 9);
    Solver s = solver(c, k.block, 2.0);
    Vec x;
    withoutStderr([&] { EXPECT_EQ(s.solve(b, x), 0) << k.name; });
    ASSERT_EQ(x.size(), 10u);
    const Vec want = gels(k.J, b, k.rankDeficient);
    const double best = normfro(times(k.J, want) - b);
    EXPECT_NEAR(normfro(times(k.J, x) - b), best, 1e-10 * best) << k.name;
    EXPECT_LT(k.rankDeficient ? 0.0 : maxAbsDiff(x, want), 1e-9 * Vec(std::abs(want)).max())
        << k.name;
    // The sketch of 20 rows: one block call, or 20 transposed products.
    EXPECT_EQ(c.JTW.counts, k.block ? std::vector<std::size_t>{20} : std::vector<std::size_t>{})
        << k.name;
    EXPECT_EQ(c.JTw.calls, c.Jv.calls + 1 + (k.block ? 0 : 20)) << k.name;  // + J^T b
    EXPECT_GT(s.iterations, 0) << k.name;
  }
}

TEST(LSRNStepSolver, SolvesDampedProblemsOnOneSketch) {
  for (const auto& [m, seed] : {std::pair<std::size_t, unsigned>{40, 11}, {6, 12}}) {
    Closures c(randomMatrix(m, 10, seed));
    const Vec r = randomVector(m, seed + 1), D = std::abs(randomVector(10, seed + 2)) + 0.5;
    Vec b(0.0, m + 10);
    b[std::slice(0, m, 1)] = r;
    Solver s = solver(c, true, 2.5);
    for (double alpha : {0.3, 5.0}) {
      const Vec d = std::sqrt(alpha) * D;
      Vec x;
      withoutStderr([&] { EXPECT_EQ(s.solveDamped(d, b, x), 0) << m << " " << alpha; });
      const Vec want = posv(dampedNormalMatrix(c.J, d * d), matrixTransposeVectorProduct(c.J, r));
      EXPECT_LT(maxAbsDiff(x, want), 1e-10 * Vec(std::abs(want)).max()) << m << " " << alpha;
    }
    // One sketch of J for both alphas: 25 rows (2.5 n), or 20 = 2 n for m = 6.
    EXPECT_EQ(c.JTW.counts, std::vector<std::size_t>{m == 40 ? 25u : 20u});
    EXPECT_EQ(s.sketchJ.rows, m == 40 ? 25u : 20u);
  }
}

TEST(LSRNStepSolver, FailuresGiveZeroStepsWithoutFurtherProducts) {
  const std::int32_t failedSketch = lsrn::kSketchFailed | StepStatus::NonFinite;
  Vec nanRhs = randomVector(30, 2);
  nanRhs[4] = kNaN;
  struct Case {
    const char* name;
    Matrix J;
    Vec b;
    int poisonBlock, poisonJTw;
    std::int32_t status;
    int products;  // host calls of all three closures; -1: not checked
  } const cases[] = {
      {"zero right-hand side", randomMatrix(30, 5, 1), Vec(0.0, 30), 0, 0, 0, 0},
      {"NaN right-hand side", randomMatrix(30, 5, 1), nanRhs, 0, 0, StepStatus::NonFinite, 0},
      {"NaN sketch", randomMatrix(30, 5, 1), randomVector(30, 2), 1, 0, failedSketch, 1},
      {"NaN in the iteration", randomMatrix(30, 5, 1), randomVector(30, 2), 0, 3,
       StepStatus::NonFinite, -1},
      {"zero Jacobian", Matrix(30, 5), randomVector(30, 2), 0, 0, lsrn::kSketchFailed, 1},
  };
  for (const Case& k : cases) {
    Closures c(k.J);
    c.JTW.poison = k.poisonBlock;
    c.JTw.poison = k.poisonJTw;
    Solver s = solver(c, true, 2.0);
    Vec x;
    // A CG breakdown bit may stand.
    withoutStderr([&] { EXPECT_EQ(s.solve(k.b, x) & ~1, k.status) << k.name; });
    ASSERT_EQ(x.size(), 5u) << k.name;
    for (double v : x) EXPECT_EQ(v, 0.0) << k.name;
    EXPECT_TRUE(k.products < 0 || c.products() == k.products) << k.name;
    EXPECT_TRUE(k.poisonJTw == 0 || c.JTw.calls == k.poisonJTw) << k.name;  // none after the NaN
  }

  // The damped solve refuses a non-finite damping before any product, and a
  // failed sketch of J is not kept.
  Closures c(randomMatrix(30, 5, 1));
  c.JTW.poison = 1;
  Solver s = solver(c, true, 2.5);
  Vec b(0.0, 35), x;
  b[std::slice(0, 30, 1)] = randomVector(30, 2);
  StderrCapture quiet;
  EXPECT_EQ(s.solveDamped(Vec(kNaN, 5), b, x), StepStatus::NonFinite);
  EXPECT_TRUE(c.JTW.counts.empty());
  EXPECT_EQ(s.solveDamped(Vec(1.0, 5), b, x), failedSketch);
  EXPECT_EQ(s.sketchJ.rows, 0u);
  EXPECT_EQ(s.solveDamped(Vec(1.0, 5), b, x), 0);
  EXPECT_EQ(c.JTW.counts.size(), 2u);
}

TEST(LSRNGetRandSys, OneBlockCallPerBatchOfAThousandVectors) {
  const Matrix J = randomMatrix(20, 700, 5);
  const DenseProduct Jv{J}, JTw{J, true};
  const DenseBlockTransposed JTW{J, true};
  MatrixTemplate<double> S;
  LSRNGetRandSys<DenseProduct, DenseProduct, DenseBlockTransposed>(Jv, JTw, JTW, 20, 700, 2.0)
      .getRandSys(S, nullptr);
  EXPECT_EQ(JTW.counts, (std::vector<std::size_t>{1000, 400}));
  EXPECT_EQ(JTw.calls, 0);
  ASSERT_EQ(S.rows, 1400u);
  ASSERT_EQ(S.cols, 700u);
  // The rows of S are the products of the random vectors, in call order.
  Matrix GJ(1400, 20, Vec(JTW.inputs.data(), JTW.inputs.size()));
  GJ *= J;
  EXPECT_LT(maxAbsDiff(S.elements, GJ.elements), 1e-12);
}

}  // namespace
