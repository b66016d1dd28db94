// zelkcomp_linsolve never reports success over a wrong answer: the closing
// check, failed host callbacks, refused shapes, right-hand sides at the ends
// of the double range and the limits the status word is judged by.

#include <cmath>
#include <limits>
#include <sstream>
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

TEST(LinsolveCheck, LeastSquaresAnswersAreJudgedByTheirNormalEquations) {
  // Tall 30 x 8 systems: status 0 only where x solves the (for "lsrnreg"
  // shifted) least-squares problem.
  enum Rhs { Consistent, Inconsistent, FarFromRange };
  struct Row {
    const char* method;
    bool dense;
    Rhs rhs;
    double decades;   // condition near 10^decades
    double shift;     // "shift" when not 0
    double invtol;    // "invtol" when not 0
    int garbageOn;    // the host call that answers 1e300 in every entry; 0 none
    bool checkFails;  // the check bit; else status 0 and x right
  };
  const Row rows[] = {
      {"lsrn", false, Consistent, 0, 0, 0, 2, true},
      {"lsrn2", false, Consistent, 0, 0, 0, 2, true},
      {"lsrnreg", false, Consistent, 0, 0, 0, 2, true},
      {"lsrn2", false, Inconsistent, 0, 0, 0.5, 0, true},
      {"lsrnreg", false, Inconsistent, 0, 0, 0.5, 0, true},
      {"lsrnreg", false, Inconsistent, 0, 1e300, 0, 0, true},
      {"lsrnreg", false, Inconsistent, 0, -1e300, 0, 0, true},
      {"lsrn", false, Consistent, 0, 0, 0, 0, false},
      {"lsrn", true, Inconsistent, 4, 0, 0, 0, false},
      {"lsrn2", false, Inconsistent, 0, 0, 0, 0, false},
      {"lsrn2", true, Consistent, 4, 0, 0, 0, false},
      {"lsrn2", false, Consistent, 8, 0, 0, 0, false},
      {"lsrn2", false, FarFromRange, 4, 0, 0, 0, false},
      {"lsrnreg", false, Consistent, 0, 0, 0, 0, false},
      {"lsrnreg", true, Inconsistent, 4, 0, 0, 0, false},
      {"lsrnreg", false, Inconsistent, 4, 0.5, 0, 0, false},
      {"lsrnreg", true, Consistent, 0, 0.5, 0, 0, false},
  };
  for (const Row& r : rows) {
    Host h = illConditioned(30, 8, r.decades);
    Vec b = h.times(Vec{1, -2, 3, 0.5, 1, 2, -1, 4});
    Vec z(30);
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = std::cos(0.7 * static_cast<double>(i));
    if (r.rhs == Inconsistent) b += z;
    // Off by 1e6 times a vector orthogonal to the range of A: the residual,
    // and the rounding of A^T r, dwarf A^T b.
    if (r.rhs == FarFromRange) b += 1e6 * (z - h.times(normalEquationsSolution(h, z)));
    h.garbageOn = r.garbageOn;
    LinsolveCall call(h, b, r.method);
    if (r.dense) call.A = h.a.data();
    if (r.shift != 0.0) call.option("shift", r.shift);
    if (r.invtol != 0.0) call.option("invtol", r.invtol);
    const int rc = call.run();
    std::ostringstream what;
    what << r.method << (r.dense ? " dense" : "") << " rhs " << r.rhs << " decades " << r.decades
         << " shift " << r.shift << " invtol " << r.invtol << " garbage " << r.garbageOn
         << ": relerr " << call.res.relerr;
    if (r.checkFails) {
      EXPECT_EQ(rc, kCheckFailed) << what.str();
    } else {
      EXPECT_EQ(rc, 0) << what.str();
      const Vec want = normalEquationsSolution(h, b, r.shift * r.shift);
      EXPECT_LT(maxAbsDiff(call.x, want), 1e-6 * std::abs(want).max()) << what.str();
    }
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
