// zelkcomp_linsolve never reports success over a wrong answer: the closing
// check, failed host callbacks, refused shapes, right-hand sides at the ends
// of the double range and the limits the status word is judged by.

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linear/linsolve_call.h"

namespace {

using namespace linsolve_test;

constexpr int kCheckFailed = ZELKCOMP_STATUS_CHECK_FAILED;
constexpr int kCallbackFailed = ZELKCOMP_STATUS_CALLBACK_FAILED;

int identity(const double* x, long n, double* y, long, void*) {
  for (long i = 0; i < n; ++i) y[i] = x[i];
  return 0;
}

// The options each method needs beyond the defaults.
void methodOptions(LinsolveCall& call) {
  call.option("tol", 1e-12);
  if (call.method == "cghc2") call.option("minvrelshift", 0.0);
  if (call.method == "cghc") call.option("dim_k", 2.0);
  call.Pcb = identity;
}

TEST(LinsolveCheck, MinresConvergedOnlyByItsRecursionIsFlagged) {
  // diag(10^(6 i / 99)): the recursive residual falls below tol long before
  // the true one does.
  std::vector<double> a(100 * 100, 0.0);
  for (std::size_t i = 0; i < 100; ++i)
    a[i * 101] = std::pow(10.0, 6.0 * static_cast<double>(i) / 99.0);
  for (double tol : {1e-12, 0.0}) {
    Host h(100, 100, a);
    LinsolveCall call(h, Vec(1.0, 100), "minres");
    if (tol > 0.0) call.option("tol", tol);
    const int rc = call.run();
    EXPECT_GT(call.res.relerr, 0.5) << tol;
    EXPECT_EQ(rc, kCheckFailed) << tol;
  }
  // A clean 4 x 4 system at a tolerance no recursion can meet exhausts its
  // search space and goes on with noise.
  Host h(4, 4, {4, 1, 0, 0, 1, 3, 1, 0, 0, 1, 2, 1, 0, 0, 1, 5});
  LinsolveCall call(h, Vec{1.0, 2.0, 3.0, 4.0}, "minres");
  call.option("tol", 1e-30);
  EXPECT_EQ(call.run(), kCheckFailed) << call.res.relerr;
}

TEST(LinsolveCheck, OneGarbageProductIsFlagged) {
  // The host answers once with a wrong product and a success code.
  static int call = 0;
  auto garbage = [](const double* x, long n, double* y, long m, void* ctx) {
    const int rc = hostProduct(x, n, y, m, ctx);
    if (++call == 3)
      for (long i = 0; i < m; ++i) y[i] = 1e3 * static_cast<double>(i + 1);
    return rc;
  };
  call = 0;
  Host h = spdHost();
  LinsolveCall c(h, h.times(Vec{1, 2, 3, 4, 5, 6}), "cg");
  c.option("tol", 1e-12);
  c.Acb = garbage;
  const int rc = c.run();
  EXPECT_GT(c.res.relerr, 1e-6);
  EXPECT_NE(rc, 0);
  if (c.res.residual < 1e-12) {
    EXPECT_EQ(rc & kCheckFailed, kCheckFailed);
  }
}

TEST(LinsolveCheck, AFailingLastProductIsFlaggedForEveryMethod) {
  const Vec xTrue{1, -2, 3, 0.5, 1, 2};
  for (const char* method : {"cg", "cglifted", "cgnormal", "cgprenormal", "minres", "cghc",
                             "cghc2", "lsrn", "lsrn2", "lsrnreg"}) {
    // The same solve twice, the second time with the last callback of the
    // first one failing: the closing product. Methods with random numbers
    // may need a few calls more or fewer; they are run until the failure
    // lands.
    Host h = spdHost();
    LinsolveCall call(h, h.times(xTrue), method);
    int rc = 0;
    bool landed = false;
    for (int attempt = 0; attempt < 20 && !landed; ++attempt) {
      Host probe = spdHost();
      LinsolveCall first(probe, probe.times(xTrue), method);
      methodOptions(first);
      first.run();
      h = spdHost();
      h.failOn = probe.calls;
      call = LinsolveCall(h, h.times(xTrue), method);
      methodOptions(call);
      rc = call.run();
      landed = h.calls >= h.failOn;
    }
    ASSERT_TRUE(landed) << method;
    EXPECT_EQ(rc & kCallbackFailed, kCallbackFailed) << method;
    const std::string m = method;
    if (m == "cg" || m == "cglifted" || m == "minres" || m == "cgnormal" || m == "cgprenormal") {
      EXPECT_TRUE(std::isnan(call.res.relerr)) << method;
      if (m != "cgnormal" && m != "cgprenormal") {
        // Their last call is the product A x itself: no residual to show.
        for (double e : call.y) EXPECT_TRUE(std::isnan(e)) << method;
      }
    }
  }
}

double norm2(const Vec& v) { return std::sqrt((v * v).sum()); }

// A = U diag(s) V^T, m x 8, s from 1 down to 1/cond, the last 8 - rank of
// them 0; b of length 1 in the range (random, or along the weakest
// direction) plus `off` times a unit vector orthogonal to it.
struct Generated {
  SvdProblem p;
  Vec b;
  Generated(long m, long rank, double cond, bool weakest, double off, unsigned seed)
      : p(m, values(rank, cond), 10 * seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    Vec c(0.0, 8), w(static_cast<std::size_t>(m));
    for (long k = weakest ? rank - 1 : 0; k < rank; ++k) c[k] = normal(gen);
    for (double& e : w) e = normal(gen);
    const Vec z = p.offRange(w);
    b = p.U.times(c / norm2(c)) + (off / norm2(z)) * z;
  }
  static Vec values(long rank, double cond) {
    Vec s(0.0, 8);
    for (long k = 0; k < rank; ++k) s[k] = std::pow(cond, -static_cast<double>(k) / (rank - 1.0));
    return s;
  }
};

TEST(LinsolveCheck, LeastSquaresAnswersAreJudgedByTheirBackwardError) {
  // An answer right to its condition (rank-deficient: with A^T r at the
  // rounding level) must pass the check; a wrong one must not end with 0.
  struct Problem {
    long m, rank;
    double cond;
    bool weakest;
    double off;
  };
  const Problem problems[] = {
      {30, 8, 1, false, 0},         {30, 8, 1e4, false, 0},   {30, 8, 1e4, false, 1},
      {30, 8, 1e2, true, 1e-3},     {30, 8, 1e2, true, 1},    {30, 8, 1e6, true, 0},
      {30, 8, 1e8, false, 1e-3},    {30, 8, 1e10, false, 0},  {30, 8, 1e10, true, 1},
      {30, 5, 1e4, false, 1},       {30, 5, 1e8, true, 0},    {2000, 8, 1e4, true, 1},
      {2000, 8, 1e10, false, 1e-3}, {2000, 5, 1e6, false, 1},
  };
  const double eps = std::numeric_limits<double>::epsilon();
  int runs = 0, passed = 0;
  for (const Problem& p : problems)
    for (unsigned seed : {1u, 2u, 3u}) {
      const Generated g(p.m, p.rank, p.cond, p.weakest, p.off, seed);
      for (const char* method : {"lsrn", "lsrn2", "lsrnreg"})
        for (bool dense : {false, true}) {
          Host h = g.p.h;
          LinsolveCall call(h, g.b, method);
          if (dense) call.A = h.a.data();
          const double shift = std::string(method) == "lsrnreg" ? 1e-3 : 0.0;
          if (shift != 0.0) call.option("shift", shift);
          const int rc = call.run();
          // Least squares is right to cond eps (||x|| + cond ||rbar||),
          // [A; shift I] of norm about 1.
          const Vec want = g.p.solution(g.b, shift), r = h.times(call.x) - g.b;
          const double sMin = g.p.s.min();
          const double cond = std::sqrt((1.0 + shift * shift) / (sMin * sMin + shift * shift));
          const double rbar = std::hypot(norm2(h.times(want) - g.b), shift * norm2(want));
          const bool right =
              std::isfinite(cond)
                  ? norm2(call.x - want) <= 100.0 * cond * eps * (norm2(want) + cond * rbar)
                  : norm2(h.times(r, true)) <= 100.0 * eps * (norm2(call.x) + norm2(r));
          const std::string what = std::string(method) + (dense ? " dense" : "") + " problem " +
                                   std::to_string(&p - problems) + " seed " + std::to_string(seed);
          EXPECT_TRUE(right ? (rc & kCheckFailed) == 0 : rc != 0) << what << ": rc " << rc;
          ++runs;
          passed += right && rc == 0;
        }
    }
  // The solvers' own bits (an iteration limit) are rare here.
  EXPECT_GE(passed, runs - runs / 20);
}

TEST(LinsolveCheck, LeastSquaresGarbageIsFlagged) {
  // Wrong answers the solvers claim: a sketch product of 1e300, a rank cut
  // by "invtol" 0.5, a shift whose square overflows, one wrong product in
  // the solve, whose error along weak directions (condition 1e10) is hidden
  // by the rounding of A^T r.
  struct Row {
    const char* method;
    int garbageOn;  // the host call that answers `garbage` in every entry; 0 none
    double garbage, invtol, shift;
  };
  const Row rows[] = {
      {"lsrn", 2, 1e300, 0, 0},     {"lsrn2", 2, 1e300, 0, 0}, {"lsrnreg", 2, 1e300, 0, 0},
      {"lsrn2", 0, 0, 0.5, 0},      {"lsrnreg", 0, 0, 0.5, 0}, {"lsrnreg", 0, 0, 0, 1e300},
      {"lsrnreg", 0, 0, 0, -1e300}, {"lsrn", 17, 1e3, 0, 0},   {"lsrn", 25, 0.5, 0, 0},
      {"lsrn2", 25, 0.5, 0, 0},
  };
  const Generated g(30, 8, 1e10, false, 1, 1);
  for (const Row& r : rows) {
    // With some sketches a wrong product drives the solve to its iteration
    // limit instead, which it reports itself: run until it claims an answer.
    int rc = 0;
    for (int attempt = 0; attempt < 10 && (attempt == 0 || (rc & ~kCheckFailed) != 0); ++attempt) {
      Host h = g.p.h;
      h.garbageOn = r.garbageOn;
      h.garbage = r.garbage;
      LinsolveCall call(h, g.b, r.method);
      if (r.shift != 0.0) call.option("shift", r.shift);
      if (r.invtol != 0.0) call.option("invtol", r.invtol);
      rc = call.run();
    }
    EXPECT_EQ(rc, kCheckFailed) << &r - rows;
  }
}

TEST(LinsolveCheck, SquareOnlyMethodsRefuseOtherShapesBeforeAnyCallback) {
  for (const char* method : {"minres", "cg", "cghc2"}) {
    Host h(2, 3, {1, 2, 3, 4, 5, 6});
    LinsolveCall call(h, Vec{1.0, 1.0}, method);
    EXPECT_EQ(call.run(), ZELKCOMP_ERR_ARGUMENT) << method;
    EXPECT_EQ(h.calls, 0) << method;
    EXPECT_TRUE(call.xUntouched());
  }
}

TEST(LinsolveCheck, RightHandSidesAtTheEndsOfTheRangeKeepTheirAccuracy) {
  const Vec xTrue{1, -2, 3, 0.5, 1, 2};
  for (const char* method : {"cg", "minres", "cgnormal", "cgprenormal", "lsrn2"}) {
    Host h0 = spdHost();
    LinsolveCall plain(h0, h0.times(xTrue), method);
    methodOptions(plain);
    const int rc0 = plain.run();
    const double err0 = maxAbsDiff(plain.x, xTrue);
    for (double scale : {1e-200, 1e200}) {
      Host h = spdHost();
      LinsolveCall call(h, h.times(xTrue) * scale, method);
      methodOptions(call);
      const int rc = call.run();
      EXPECT_EQ(rc, rc0) << method << " " << scale;
      EXPECT_LE(maxAbsDiff(call.x / scale, xTrue), 10.0 * err0 + 1e-10) << method << " " << scale;
      EXPECT_NEAR(call.res.relerr, plain.res.relerr, 1e-10) << method << " " << scale;
    }
  }
}

TEST(LinsolveCheck, StatusIsJudgedByTheLimitsApplied) {
  // "lsrn" runs its CG with cgmaxit and cgtol; a "maxit" of 3 in the call
  // does not limit it and must not flag it as limited.
  std::vector<double> a(40 * 5);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::sin(0.7 * static_cast<double>(i * i + 1));
  Host h(40, 5, a);
  Vec b(40);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::cos(0.3 * static_cast<double>(i));
  LinsolveCall call(h, b, "lsrn");
  call.option("maxit", 3.0);
  const int rc = call.run();
  EXPECT_GT(call.res.it, 3);
  EXPECT_EQ(rc & 4, 0) << rc;

  // A whole-number time limit is a time limit, not an option of the wrong
  // kind found after the solve.
  Host s = spdHost();
  LinsolveCall timed(s, s.times(Vec(1.0, 6)), "cg");
  timed.option("tol", 1e-12);
  timed.option("maxt", 60.0);
  EXPECT_EQ(timed.run(), 0) << timed.err;
  timed.values.back() = 0.0;
  EXPECT_EQ(timed.run() & 8, 8);
}

TEST(LinsolveCheck, OversampleIsHeldAtTheSizeOfTheProblem) {
  // 30 x 8: at most max(30, 16) sketch columns, however large "oversample".
  std::vector<double> a(30 * 8);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = std::sin(1.3 * static_cast<double>(i) + 0.2);
  for (double oversample : {1e6 + 0.5, 1e300}) {
    Host h(30, 8, a);
    LinsolveCall call(h, Vec(1.0, 30), "lsrn2");
    call.option("oversample", oversample);
    call.option("batchsize", 1.0);
    call.run();
    EXPECT_TRUE(call.printed("Rand sys: 30 = 1 * 30 + 0\n")) << oversample;
    EXPECT_LT(h.calls, 1000) << oversample;
  }
}

TEST(LinsolveCheck, DenseLeastSquaresNeverReturnsANegativeWord) {
  Host h(3, 2, {1, 2, std::numeric_limits<double>::quiet_NaN(), 4, 5, 6});
  LinsolveCall call(h, Vec{1.0, 2.0, 3.0}, "mvsolve");
  call.A = h.a.data();
  const int rc = call.run();
  EXPECT_GE(rc, 1 << 30);
  EXPECT_EQ(rc - (1L << 31), -5L | 16);  // LAPACK's info -5 and the NaN result bit
}

}  // namespace
