// Preconditioned CG, directly and as the "cgprenormal" linear-solve method.

#include <cmath>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "linear/cg_pre_solver.h"
#include "linear/linsolve_call.h"

namespace {

using namespace linsolve_test;

// The host's preconditioner: entry-wise scaling by the diagonal in `scale`.
struct Scaling {
  Vec scale;
  int calls = 0;
  int failOn = 0;  // the one call (1-based) that fails; 0 never
};

int scalingCallback(const double* x, long n, double* y, long m, void* context) {
  auto* s = static_cast<Scaling*>(context);
  if (++s->calls == s->failOn) return 5;
  for (long i = 0; i < n && i < m; ++i) y[i] = s->scale[static_cast<std::size_t>(i)] * x[i];
  return 0;
}

// One host context for A, A^T and P: the first member is the Host the
// product callbacks read.
struct HostWithPreconditioner {
  Host host;
  Scaling p;
};

int pCallback(const double* x, long n, double* y, long m, void* context) {
  return scalingCallback(x, n, y, m, &static_cast<HostWithPreconditioner*>(context)->p);
}

TEST(CGPreNormal, SolvesTheNormalEquationsWithAnyPreconditioner) {
  // Columns of very different scale, so that the Jacobi preconditioner of
  // A^T A matters.
  HostWithPreconditioner hp{Host(6, 3, {1.0, 200.0, 0.05, -1.0, 0.0, 0.3, 2.0, 100.0, 0.1,
                                        0.0, -400.0, 0.15, 1.0, 100.0, 0.1, 3.0, -100.0, 0.0}),
                            Scaling{}};
  const Vec b{1.0, -2.0, 0.5, 3.0, 1.0, -1.0};
  const Vec want = normalEquationsSolution(hp.host, b);

  long iterations[2] = {0, 0};
  for (int jacobi = 0; jacobi < 2; ++jacobi) {
    hp.p.scale = Vec(1.0, 3);
    if (jacobi)
      for (long j = 0; j < 3; ++j) {
        double s = 0.0;
        for (long k = 0; k < 6; ++k) s += hp.host.at(k, j) * hp.host.at(k, j);
        hp.p.scale[static_cast<std::size_t>(j)] = 1.0 / s;
      }
    LinsolveCall call(hp.host, b, "cgprenormal");
    call.context = &hp;
    call.Pcb = pCallback;
    call.option("tol", 1e-13);
    call.option("maxit", 50);
    call.run();
    EXPECT_GE(call.rc, 0) << call.err;
    EXPECT_EQ(call.rc & ~1, 0) << call.err;
    EXPECT_LT(maxAbsDiff(call.x, want), 1e-8 * (1.0 + std::abs(want).max())) << jacobi;
    EXPECT_GT(hp.p.calls, 0);
    iterations[jacobi] = call.res.it;

    const std::size_t p533 = call.err.find("comp_linsolve:533: CG: CGPreSolver(n=3, tol=1e-13, maxit=50, mode=4, rec=0, res=0), status: ");
    const std::size_t p534 = call.err.find("comp_linsolve:534: Start CG with x0=Vector(3)");
    const std::size_t p547 = call.err.find("comp_linsolve:547: norm(A'*A*Xcg - A'*B)/norm(A'*B) = ");
    const std::size_t p549 = call.err.find("comp_linsolve:549: CGPreSolver(n=3");
    ASSERT_NE(p533, std::string::npos) << call.err;
    ASSERT_NE(p549, std::string::npos) << call.err;
    EXPECT_TRUE(p533 < p534 && p534 < p547 && p547 < p549) << call.err;
  }
  EXPECT_LE(iterations[1], iterations[0]);

  // The solver watches no control record: a failing preconditioner call
  // must still show in the status word instead of passing for success.
  hp.p.calls = 0;
  hp.p.failOn = 2;
  LinsolveCall failing(hp.host, b, "cgprenormal");
  failing.context = &hp;
  failing.Pcb = pCallback;
  failing.option("tol", 1e-13);
  EXPECT_EQ(failing.run() & ZELKCOMP_STATUS_CALLBACK_FAILED, ZELKCOMP_STATUS_CALLBACK_FAILED)
      << failing.err;
  EXPECT_TRUE(failing.printed("Function callback returned non-zero status code: 5"));

  // The preconditioner callback is required for this method.
  LinsolveCall noP(hp.host, b, "cgprenormal");
  noP.context = &hp;
  EXPECT_EQ(noP.run(), ZELKCOMP_ERR_ARGUMENT);
}

Vec diag4(const Vec& x) { return Vec(Vec{1.0, 2.0, 3.0, 4.0} * x); }
Vec copyOf(const Vec& r) { return r; }

TEST(CGPreSolver, StartsLimitsAndStops) {
  auto A = [](const Vec& x) { return diag4(x); };
  auto I = [](const Vec& r) { return copyOf(r); };
  const Vec b{1.0, 1.0, 1.0, 1.0};

  CGPreSolver fresh(A, I, 4, 1e-12, 1e-120, 1e14, 0, 4, 0, 0);
  std::ostringstream os;
  fresh.print(os);
  EXPECT_EQ(os.str(),
            "CGPreSolver(n=4, tol=1e-12, maxit=0, mode=4, rec=0, res=0), status: "
            "IterativeResult(status=0, it=0, residual=0, relerr=0)");
  // No iterations allowed: x0 back.
  Vec x = fresh.solve(b, Vec{0.5, 0.5, 0.5, 0.5}, nullptr);
  EXPECT_EQ(x[3], 0.5);
  EXPECT_EQ(fresh.status, 0);
  EXPECT_EQ(fresh.residual, 0.0);

  // b = 0 from a non-zero start: x = 0 at once, converged.
  CGPreSolver zero(A, I, 4, 1e-12, 1e-120, 1e14, 100, 4, 0, 0);
  x = zero.solve(Vec(0.0, 4), Vec{1.0, 1.0, 1.0, 1.0}, nullptr);
  EXPECT_EQ(zero.status, 0);
  EXPECT_EQ(zero.it, 0);
  EXPECT_EQ(zero.residual, 0.0);
  EXPECT_EQ(std::abs(x).max(), 0.0);

  // A second far-off start on the same object returns x0 untouched.
  const Vec far{500.0, 500.0, 500.0, 500.0};
  CGPreSolver once(A, I, 4, 1e-12, 1e-120, 1e14, 100, 1, 0, 0);
  x = once.solve(b, far, nullptr);
  EXPECT_EQ(once.status, 0);
  EXPECT_NEAR(x[3], 0.25, 1e-12);
  const int itBefore = once.it;
  x = once.solve(b, far, nullptr);
  EXPECT_EQ(once.status, 0x20);
  EXPECT_EQ(x[0], 500.0);
  EXPECT_EQ(once.it, itBefore);

  // The rescaled retry still answers to the caller's control record.
  IterationControl control{};
  control.state = 3;
  CGPreSolver stopped(A, I, 4, 1e-14, 1e-120, 1e14, 100, 4, 0, 0);
  stopped.solve(b, far, &control);
  EXPECT_EQ(stopped.badStarts, 1);
  EXPECT_EQ(stopped.status, 0x23);
  EXPECT_EQ(stopped.it, 0);

  // Every direction formula converges on this system; mode 6 is steepest
  // descent in the preconditioned metric.
  for (int mode : {0, 1, 2, 3, 4, 5, 6}) {
    opts.cgbeta = 0.0;
    CGPreSolver cg(A, I, 4, 1e-12, 1e-120, 1e14, 500, mode, 0, 0);
    x = cg.solve(b, Vec(0.0, 4), nullptr);
    EXPECT_EQ(cg.status, 0) << mode;
    EXPECT_NEAR(x[1], 0.5, 1e-10) << mode;
  }
  opts.cgbeta = 0.7;
}

}  // namespace
