// The haircut CG methods: the lifted haircut solver on diagonal operators
// with known spectra, and "cghc" / "cghc2" through zelkcomp_linsolve on a
// symmetric positive definite matrix with a few dominant eigenvalues.

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linear/lifted_haircut_cg_solver.h"
#include "linear/linsolve_call.h"
#include "linear/sized_operator.h"

namespace {

using namespace linsolve_test;

struct Diagonal {
  Vec d;
  Vec operator()(const Vec& x) const { return d * x; }
};

struct DiagonalRun {
  Diagonal diag;
  SizedVectorFunction<Diagonal> op;
  LiftedHaircutCGSolver<const SizedVectorOperator> solver;
  Vec x;
  std::string err;

  DiagonalRun(Vec d, long k, double relshift)
      : diag{std::move(d)},
        op(OptionMap{{"dim_m", static_cast<long>(diag.d.size())},
                     {"dim_n", static_cast<long>(diag.d.size())}},
           diag),
        solver("LiftedCGSolver2", static_cast<std::int64_t>(diag.d.size()), 1e-12, 1e-120, 1e14,
               1000, op, 4, 0, 0, relshift, k) {}

  // Solves A x = A * (1, 2, ..., n) and returns max |x - (1, 2, ..., n)|.
  double solveError() {
    Vec want(diag.d.size());
    for (std::size_t i = 0; i < want.size(); ++i) want[i] = static_cast<double>(i + 1);
    testing::internal::CaptureStderr();
    x = solver.solve(diag(want), Vec(0.0, want.size()));
    err = testing::internal::GetCapturedStderr();
    return maxAbsDiff(x, want);
  }
};

TEST(LiftedHaircutCG, CutsTheDominantEigenvaluesAndSolvesTheOriginalSystem) {
  // k = 1 on diag(10, 5, 1, 1): eigenvalues (10, 5), basis +-e1, scale 1/2.
  DiagonalRun run({10.0, 5.0, 1.0, 1.0}, 1, 0.0);
  EXPECT_LT(run.solveError(), 1e-10);
  EXPECT_EQ(run.solver.flags, 0);
  ASSERT_EQ(run.solver.eigenvalues.size(), 2u);
  EXPECT_NEAR(run.solver.eigenvalues[0], 10.0, 1e-7);
  EXPECT_NEAR(run.solver.eigenvalues[1], 5.0, 1e-7);
  ASSERT_EQ(run.solver.basis.cols, 1u);
  EXPECT_NEAR(std::fabs(run.solver.basis(0, 0)), 1.0, 1e-8);
  ASSERT_EQ(run.solver.scales.size(), 1u);
  EXPECT_NEAR(run.solver.scales[0], 0.5, 1e-7);
  EXPECT_NE(run.err.find("Found 0/2: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("LiftedHaircutCGSolver: max eig determined: 10"), std::string::npos);
  EXPECT_NE(run.err.find("LiftedHaircutCGSolver: last (2-th) eig determined: 5"),
            std::string::npos);

  // A lift (1 + |e_k|) scales the inner solution down; the solver undoes
  // that, so the answer is still the solution of A x = b.
  DiagonalRun lifted({10.0, 5.0, 1.0, 1.0}, 1, 1.0);
  EXPECT_LT(lifted.solveError(), 1e-10);
  EXPECT_NE(lifted.err.find(" * 1 = 5\n"), std::string::npos) << lifted.err;

  // k = 0: nothing is cut, only the lift acts.
  DiagonalRun plain({4.0, 3.0, 2.0}, 0, 2.0);
  EXPECT_LT(plain.solveError(), 1e-10);
  EXPECT_EQ(plain.solver.basis.cols, 0u);
  EXPECT_EQ(plain.solver.scales.size(), 0u);
  EXPECT_NEAR(plain.solver.eigenvalues[0], 4.0, 1e-7);

  EXPECT_THROW(DiagonalRun({1.0, 2.0}, -1, 0.0), std::invalid_argument);
}

TEST(LiftedHaircutCG, AShortEigenSearchUsesOnlyThePairsFound) {
  // 5 and -5 share a magnitude: the second power iteration never settles,
  // so one pair is found of the four asked for. The filter then deflates
  // that one direction fully, and a b with a component along it cannot be
  // matched: the solve must not claim success.
  DiagonalRun run({20.0, 5.0, -5.0, 1.0}, 3, 1.0);
  run.solveError();
  ASSERT_EQ(run.solver.eigenvalues.size(), 4u);
  EXPECT_NEAR(run.solver.eigenvalues[0], 20.0, 1e-7);
  EXPECT_EQ(run.solver.eigenvalues[1], 0.0);
  EXPECT_EQ(run.solver.eigenvalues[3], 0.0);
  EXPECT_EQ(run.solver.basis.cols, 1u);
  ASSERT_EQ(run.solver.scales.size(), 1u);
  EXPECT_EQ(run.solver.scales[0], 1.0);
  EXPECT_NE(run.err.find(" * 1 = 0\n"), std::string::npos) << run.err;
  EXPECT_FALSE(run.solver.residual < 1e-12);

  // Prints of the weights show at most ten entries.
  Vec d(13);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = std::pow(2.0, 13.0 - static_cast<double>(i));
  DiagonalRun many(d, 12, 0.0);
  EXPECT_LT(many.solveError(), 1e-8);
  const std::size_t at = many.err.find("LiftedHaircutCGSolver: scales (12){");
  ASSERT_NE(at, std::string::npos) << many.err;
  const std::string line = many.err.substr(at, many.err.find('\n', at) - at);
  EXPECT_EQ(line.size(), std::string("LiftedHaircutCGSolver: scales (12){").size() + 10 * 12 + 1);
}

// A 60 x 60 symmetric positive definite matrix H D H, H a Householder
// reflector, with the dominant eigenvalues 1e4, 1e3, 1e2 and 10 above a
// bulk spread over [1, 5].
Host dominantHost() {
  const long n = 60;
  Vec d(static_cast<std::size_t>(n)), u(static_cast<std::size_t>(n));
  d[0] = 1e4, d[1] = 1e3, d[2] = 1e2, d[3] = 10.0;
  for (long i = 4; i < n; ++i) d[static_cast<std::size_t>(i)] = 1.0 + 4.0 * (i - 4) / (n - 5.0);
  for (long i = 0; i < n; ++i) u[static_cast<std::size_t>(i)] = std::sin(1.0 + 0.7 * i);
  const double uu = (u * u).sum();
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  auto h = [&](long i, long j) {
    return (i == j ? 1.0 : 0.0) - 2.0 * u[static_cast<std::size_t>(i)] *
                                      u[static_cast<std::size_t>(j)] / uu;
  };
  for (long i = 0; i < n; ++i)
    for (long j = 0; j < n; ++j) {
      double s = 0.0;
      for (long l = 0; l < n; ++l) s += h(i, l) * d[static_cast<std::size_t>(l)] * h(l, j);
      a[static_cast<std::size_t>(i * n + j)] = s;
    }
  return Host(n, n, std::move(a));
}

LinsolveCall haircutCall(Host& h, const Vec& b, const std::string& method, long k) {
  LinsolveCall c(h, b, method);
  c.ATcb = nullptr;  // only A is called
  c.option("tol", 1e-12);
  c.option("dim_k", static_cast<double>(k));
  c.option("minvrelshift", 1.0);
  return c;
}

TEST(LinsolveHaircut, SolvesWithFewerIterationsThanPlainCG) {
  Host h = dominantHost();
  Vec xTrue(60);
  for (std::size_t i = 0; i < xTrue.size(); ++i) xTrue[i] = std::cos(0.3 * i);
  const Vec b = h.times(xTrue);

  LinsolveCall cg = haircutCall(h, b, "cg", 3);
  ASSERT_EQ(cg.run(), 0) << cg.err;

  for (const char* method : {"cghc", "cghaircut", "cghc2", "cghaircut2"}) {
    SCOPED_TRACE(method);
    LinsolveCall hc = haircutCall(h, b, method, 3);
    ASSERT_EQ(hc.run(), 0) << hc.err;
    EXPECT_LT(maxAbsDiff(hc.x, xTrue), 1e-7);
    EXPECT_LT(maxAbsDiff(hc.y, h.times(hc.x) - b), 1e-9);
    EXPECT_LT(hc.res.it, cg.res.it);
  }

  // The lifted form reports its search and its check line.
  LinsolveCall hc2 = haircutCall(h, b, "cghc2", 3);
  ASSERT_EQ(hc2.run(), 0) << hc2.err;
  EXPECT_TRUE(hc2.printed("comp_linsolve:659: LiftedHaircutCGSolver: CGSolver(n=60, tol=1e-12"));
  EXPECT_TRUE(hc2.printed("comp_linsolve:660: Start LiftedHaircutCGSolver with x0=Vector(60)"));
  EXPECT_TRUE(hc2.printed("Found 3/4: 10 it "));
  EXPECT_TRUE(hc2.printed("LiftedHaircutCGSolver: scales (3){"));
  EXPECT_TRUE(hc2.printed("comp_linsolve:668: norm(A*Xcg - B)/norm(B) = "));
}

TEST(LinsolveHaircut, RefusesUnusableSettings) {
  Host h = spdHost();
  const Vec b = h.times(Vec{1.0, 2.0, 3.0, 4.0, 5.0, 6.0});

  // "cghc" divides its defaults by "dim_k".
  LinsolveCall zero = haircutCall(h, b, "cghc", 0);
  EXPECT_EQ(zero.run(), ZELKCOMP_ERR_INTERNAL);
  EXPECT_TRUE(zero.xUntouched());
  LinsolveCall negative = haircutCall(h, b, "cghc2", -2);
  EXPECT_EQ(negative.run(), ZELKCOMP_ERR_INTERNAL);

  // "minvrelshift" is required, and integral.
  LinsolveCall none(h, b, "cghc2");
  none.option("tol", 1e-10);
  EXPECT_EQ(none.run(), ZELKCOMP_ERR_INTERNAL);
  LinsolveCall real = haircutCall(h, b, "cghc2", 2);
  real.values.back() = 0.5;
  EXPECT_EQ(real.run(), ZELKCOMP_ERR_INTERNAL);

  // "dim_k" beyond the unknowns is cut to them; the answer stays right.
  for (const char* method : {"cghc", "cghc2"}) {
    SCOPED_TRACE(method);
    LinsolveCall big = haircutCall(h, b, method, 50);
    EXPECT_EQ(big.run(), 0) << big.err;
    EXPECT_LT(maxAbsDiff(big.x, Vec{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}), 1e-8);
  }
}

TEST(LinsolveHaircut, CallbackFailuresAndEmptySystemsAreReported) {
  const Vec xTrue{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  // "cghc" hands the control record to its CG, which stops on the failure
  // from the eigen search; "cghc2" runs on, and the epilogue flags it.
  for (const char* method : {"cghc", "cghc2"}) {
    SCOPED_TRACE(method);
    Host h = spdHost();
    h.failOn = 1;
    LinsolveCall c = haircutCall(h, h.times(xTrue), method, 2);
    const int rc = c.run();
    // "cghc": the CG's own bits are exactly the external stop of a failed
    // callback (state 2 | 0x20), no breakdown or divergence besides.
    if (std::string(method) == "cghc") {
      EXPECT_EQ(rc & 0xff, 0x22) << c.err;
    }
    EXPECT_EQ(rc & ZELKCOMP_STATUS_CALLBACK_FAILED, ZELKCOMP_STATUS_CALLBACK_FAILED);
    EXPECT_TRUE(c.printed("Function callback returned non-zero status code: 7"));
  }

  // No unknowns: nothing to search, nothing to solve, no crash.
  for (const char* method : {"cghc", "cghc2"}) {
    SCOPED_TRACE(method);
    Host h(0, 0, {});
    LinsolveCall c = haircutCall(h, Vec(), method, 3);
    EXPECT_GE(c.run(), 0) << c.err;
  }
}

}  // namespace
