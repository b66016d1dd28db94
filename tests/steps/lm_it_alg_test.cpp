// The matrix-free Levenberg-Marquardt step on dense closures, its scaling
// update and the rotated bidiagonal product, against LAPACK answers.

#include "steps/lm_it_alg.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "options/global_state.h"
#include "options/opts.h"
#include "step_test_util.h"

namespace {

using namespace step_test;

// The options of one test over the defaults, the defaults back after it.
struct ScopedOptions {
  explicit ScopedOptions(const std::map<std::string, double>& overrides) {
    opts.assignValues(OptsTrovik(overrides));
  }
  ~ScopedOptions() { opts.assignValues(OptsTrovik()); }
};

using Solver = LMItAlg<DenseProduct, DenseProduct, DenseBlockTransposed, DenseBlockTransposed>;

// The block closure serves as both block products (the methods use J^T W
// only).
struct Problem : LSProblem {
  using LSProblem::LSProblem;
  Solver solver() {
    return Solver(scaling, static_cast<std::uint32_t>(J.cols), Jv, JTw, JTW, JTW, minusR);
  }
};

// -(D^2 p)^T (J^T J + alpha D^2)^-1 (D^2 p) / ||D p||.
double expectedDerivative(const Matrix& J, const Vec& D, double alpha, const Vec& p) {
  const Vec q = D * D * p;
  const Vec y = posv(dampedNormalMatrix(J, alpha * D * D), q);
  return -dotProduct(q, y) / normfro(D * p);
}

TEST(LMItAlg, EveryMethodSolvesTheDampedProblem) {
  struct Case {
    const char* name;
    double lmitmode, lmdmode;
    bool unitD;
    bool reusesProducts;  // phi' at the same alpha costs no product
    double easy = 1.0;    // "lmiteasytol"
    double region = 0.3;  // the trust region over the Gauss-Newton step's ||D p||
  } const cases[] = {
      {"CG", 0, 1, false, false},
      {"VKR", 1, 1, false, true},
      {"damped bidiagonalisation", 2, 1, false, true},
      {"rotated bidiagonal", 2, 0, true, true},
      {"LSRN", 3, 1, false, false},
      // The easy regime (alpha over 5 * 0.005 s) is solved by CG whatever
      // the mode, mode 7, which solves nothing, included. A region so small
      // that the first alpha is large: the closed-form step is accepted and
      // replaced by the exact one.
      {"easy regime, no method of its own", 7, 1, false, false, 0.005, 1e-4},
      {"LSRN, large alpha", 3, 1, false, false, 1.0, 1e-4},
  };
  for (const Case& c : cases) {
    ScopedOptions options(
        {{"lmitmode", c.lmitmode}, {"lmdmode", c.lmdmode}, {"lmiteasytol", c.easy}});
    Problem P(randomMatrix(12, 4, 31), randomVector(12, 32), c.unitD ? Vec(1.0, 4) : Vec{});
    const Vec& D = P.scaling.D.diagonal;
    testing::internal::CaptureStderr();
    Solver lm = P.solver();
    EXPECT_GT(lm.spectral, 0.0) << c.name;
    const double alpha = 0.05 * lm.spectral;  // not large; easy only for "lmiteasytol" < 0.01

    Vec p;
    ASSERT_EQ(lm.palpha(alpha, p, false), 0) << c.name;
    EXPECT_LT(relDiff(p, dampedStep(P.J, P.minusR, D, alpha)), 1e-9) << c.name;
    const int before = P.products();
    const double dphi = lm.d_phi(alpha, p);
    EXPECT_TRUE(!c.reusesProducts || P.products() == before) << c.name;
    EXPECT_NEAR(dphi, expectedDerivative(P.J, D, alpha, p), 1e-8 * std::fabs(dphi)) << c.name;

    // A region that the Gauss-Newton step overshoots: the constraint is active.
    P.scaling.Delta = c.region * normfro(D * gels(P.J, P.minusR));
    const double found = lm.solveLambda(lm.step);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GT(found, 0.0) << c.name;
    EXPECT_LT(std::fabs(normfro(D * lm.step) - P.scaling.Delta), lm.sigma * P.scaling.Delta)
        << c.name;
    EXPECT_LT(relDiff(lm.step, dampedStep(P.J, P.minusR, D, found)), 1e-7) << c.name;
    EXPECT_EQ(err.find("Full diff: ") != std::string::npos, found > 5 * lm.spectral) << c.name;
  }
}

TEST(LMItAlg, RepeatedAlphaSolvesInTheStoredKrylovSpace) {
  // decscale 2: at most 3 VKR steps for 6 unknowns, a true subspace V_k.
  // The first solve's x lies in it, and A x (A = J^T J + alpha D^2) in the
  // space of the k + 1 Arnoldi vectors, so the stored space solves A x ~ A x
  // exactly by x: only if the new residual is projected on all k + 1 of
  // them, which the k rotations act on.
  ScopedOptions options({{"lmitmode", 1}, {"decscale", 2}});
  Problem P(randomMatrix(10, 6, 71), randomVector(10, 72));
  StderrCapture quiet;
  Solver lm = P.solver();
  const double alpha = 0.05 * lm.spectral;
  Vec x, again;
  ASSERT_EQ(lm.palpha(alpha, x, false), 0);
  const Vec D2 = P.scaling.D.diagonal * P.scaling.D.diagonal;
  const Vec Ax = times(dampedNormalMatrix(P.J, alpha * D2), x);
  const int before = P.products();
  ASSERT_EQ(lm.solveRVKR(alpha, Ax, again), 0);
  EXPECT_EQ(P.products(), before);
  EXPECT_LT(relDiff(again, x), 1e-10);
}

TEST(LMItAlg, ScalingUpdateFromColumnSums) {
  // Column sums 2, -3 and 0; centred data (every sum 0) gives D = 1.
  const Matrix J(3, 3, Vec{1, -2, 0, 2, 0, 0, -1, -1, 0}), centred(2, 2, Vec{1, -1, -1, 1});
  struct Case {
    double mode;
    const Matrix& J;
    Vec D, want;
    int zeros;
  } const cases[] = {
      {0, J, Vec{0.5, 4.0, 0.0}, Vec{1.0, 1.0, 1.0}, 1},
      {1, J, Vec{0.5, 4.0, 0.0}, Vec{2.0, 4.0, 4e-12}, 1},
      {2, J, Vec{0.5, 4.0, 0.0}, Vec{std::sqrt(2.0), 4.0, 4e-12}, 1},
      {3, J, Vec{0.5, 4.0, 0.0}, Vec{std::cbrt(2.0), 4.0, 4e-12}, 1},
      {4, J, Vec{0.5, 4.0, 0.0}, Vec{std::log(2.0), 4.0, 4e-12}, 1},  // never log(0)
      {7, J, Vec{0.5, 4.0, 0.0}, Vec{2.0, 4.0, 4e-12}, 1},
      {1, centred, Vec{0.0, 0.0}, Vec{1.0, 1.0}, 2},
  };
  for (const Case& c : cases) {
    ScopedOptions options({{"lmdmode", c.mode}});
    Problem P(c.J, Vec(1.0, c.J.rows), c.D);
    StderrCapture quiet;
    Solver lm = P.solver();
    Vec& D = P.scaling.D.diagonal;
    EXPECT_EQ(lm.updateD(D), 0);
    for (std::size_t j = 0; j < D.size(); ++j) EXPECT_DOUBLE_EQ(D[j], c.want[j]) << c.mode << j;
    EXPECT_EQ(state.zeroColumns(), c.zeros);
  }
}

TEST(LMItAlg, NoStepWithoutAGradientOrASolver) {
  struct Case {
    const char* name;
    Matrix J;
    Vec minusR;
    double lmitmode = 0;
    int status = 0;
  } const cases[] = {
      {"r orthogonal to the range of J", Matrix(2, 2, Vec{1, 0, 0, 0}), Vec{0.0, 3.0}},
      {"J = 0", Matrix(3, 2), Vec{1.0, 2.0, 3.0}},
      // lmitmode 7 solves nothing: the first alpha that needs a solve fails.
      {"lmitmode 7", randomMatrix(6, 2, 41), randomVector(6, 42), 7, 0x200},
  };
  for (const Case& c : cases) {
    ScopedOptions options({{"lmitmode", c.lmitmode}});
    Problem P(c.J, c.minusR, Vec(1.0, 2));
    P.scaling.Delta = c.status ? 10.0 * normfro(gels(P.J, P.minusR)) : 1.0;
    StderrCapture quiet;
    Solver lm = P.solver();
    EXPECT_TRUE(std::isfinite(lm.spectral)) << c.name;
    state.status = 0;
    const int before = P.products();
    EXPECT_EQ(lm.solveLambda(lm.step), 0.0) << c.name;
    EXPECT_LE(P.products(), before + 1) << c.name;  // the gradient, once
    EXPECT_EQ(state.status, c.status) << c.name;
    EXPECT_EQ(maxAbsDiff(lm.step, Vec(0.0, 2)), 0.0) << c.name;
    EXPECT_EQ(lm.d_phi(1.0, lm.step), 0.0) << c.name;
  }
  state.status = 0;
}

TEST(RotatedProduct, MatchesTheDenseComputation) {
  const std::size_t k = 3, c = 5, n = 4;
  const Matrix M = randomMatrix(k, c, 51), Q = randomMatrix(k, n, 52);
  RotatedBidiagonal system{&M, &Q, Vec{2.0, -1.5, 3.0}, Vec{0.0, 0.7, -0.4}, {}};
  const double angles[] = {0.3, -1.1, 2.0, 0.9, -0.2};
  const int rows[][2] = {{0, 3}, {4, 3}, {1, 4}, {5, 4}, {2, 5}};
  for (int i = 0; i < 5; ++i)
    system.rotations.push_back({std::cos(angles[i]), std::sin(angles[i]), rows[i][0], rows[i][1]});
  const Vec v = randomVector(c, 53), w = randomVector(n, 54);

  // y = [M v; w_0..k-1], each rotation as a 2k x 2k matrix.
  Vec y(0.0, 2 * k);
  y[std::slice(0, k, 1)] = times(M, v);
  for (std::size_t i = 0; i < k; ++i) y[k + i] = w[i];
  for (const PlaneRotation& g : system.rotations) {
    const double a = y[g.j], b = y[g.l];
    y[g.j] = g.c * a + g.s * b;
    y[g.l] = -g.s * a + g.c * b;
  }
  Matrix B(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    B(i, i) = system.d[i];
    if (i + 1 < k) B(i, i + 1) = system.e[i + 1];
  }
  const Vec want = matrixTransposeVectorProduct(Q, gesv(B, y[std::slice(0, k, 1)]));

  Vec out;
  StderrCapture quiet;
  EXPECT_TRUE(applyRotatedProduct(system, v, out, &w));
  EXPECT_LT(maxAbsDiff(out, want), 1e-13);

  // A zero on the diagonal: no solution, out = 0.
  system.d[1] = 0.0;
  EXPECT_FALSE(applyRotatedProduct(system, v, out, &w));
  EXPECT_EQ(maxAbsDiff(out, Vec(0.0, n)), 0.0);
}

}  // namespace
