// zelkcomp_linsolve with the CG methods, through host callbacks and through
// a dense matrix.

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linear/linsolve_call.h"
#include "options/opts.h"

namespace {

using namespace linsolve_test;

Vec spdSolution() { return Vec{1.0, -2.0, 0.5, 3.0, -1.0, 2.0}; }

TEST(LinsolveCG, SolvesSpdSystemThroughCallbacksAndDenseAlike) {
  Host h = spdHost();
  const Vec xTrue = spdSolution();
  const Vec b = h.times(xTrue);

  LinsolveCall cb(h, b);
  cb.ATcb = nullptr;  // "cg" calls only A
  cb.option("tol", 1e-12);
  ASSERT_EQ(cb.run(), 0) << cb.err;
  EXPECT_LT(maxAbsDiff(cb.x, xTrue), 1e-10);
  EXPECT_LT(maxAbsDiff(cb.y, h.times(cb.x) - b), 1e-12);
  EXPECT_EQ(cb.res.status, 0);
  EXPECT_GT(cb.res.it, 0);
  EXPECT_LT(cb.res.residual, 1e-12);
  EXPECT_LT(cb.res.relerr, 1e-11);
  EXPECT_GE(cb.res.wtime, 0.0);
  EXPECT_EQ(cb.res.calls, h.calls);  // every call succeeded: counted once
  EXPECT_EQ(cb.res.reserved, 0);

  // Trace lines in order: the solver, the start, the check and the solver
  // again.
  const std::string solverLine =
      "CGSolver(n=6, tol=1e-12, maxit=10000), status: IterativeResult(status=";
  const std::size_t p426 = cb.err.find("comp_linsolve:426: CG: " + solverLine + "0, it=0,");
  const std::size_t p427 = cb.err.find("comp_linsolve:427: Start CG with x0=Vector(6), norm 0");
  const std::string check = "comp_linsolve:435: norm(A*Xcg - B)/norm(B) = " +
                            shown(cb.res.relerr) + " < " + shown(1e-11) + " = 1\n";
  const std::size_t p435 = cb.err.find(check);
  const std::size_t p437 =
      cb.err.find("comp_linsolve:437: " + solverLine + "0, it=" + shown(cb.res.it) + ",");
  ASSERT_NE(p426, std::string::npos) << cb.err;
  ASSERT_NE(p427, std::string::npos) << cb.err;
  ASSERT_NE(p435, std::string::npos) << cb.err;
  ASSERT_NE(p437, std::string::npos) << cb.err;
  EXPECT_TRUE(p426 < p427 && p427 < p435 && p435 < p437);

  // The dense path runs the same iteration on CBLAS products and never
  // calls a callback.
  Host spy = spdHost();
  LinsolveCall dense(spy, b);
  dense.A = h.a.data();
  dense.option("tol", 1e-12);
  ASSERT_EQ(dense.run(), 0) << dense.err;
  EXPECT_EQ(spy.calls, 0);
  EXPECT_EQ(dense.res.calls, 0);
  EXPECT_EQ(dense.res.it, cb.res.it);
  EXPECT_LT(maxAbsDiff(dense.x, cb.x), 1e-12);
  EXPECT_LT(maxAbsDiff(dense.y, cb.y), 1e-12);
  EXPECT_TRUE(dense.printed("comp_linsolve:435: "));
}

TEST(LinsolveCG, DefaultsApplyAndUserOptionsOverrideThem) {
  Host h = spdHost();
  const Vec b = h.times(spdSolution());

  LinsolveCall plain(h, b);
  plain.run();
  EXPECT_TRUE(plain.printed("CG: CGSolver(n=6, tol=1e-15, maxit=10000)")) << plain.err;

  // The user's "maxit" and "tol" win over the defaults; the entries the
  // entry point owns do not: a "dim_m" of 99 would give A x the wrong
  // length, and numbers under "control", "context" and "histcheck" would not
  // even be pointers.
  Host h2 = spdHost();
  LinsolveCall limited(h2, b);
  limited.option("maxit", 2);
  limited.option("tol", 1e-6);
  for (const char* owned : {"dim_m", "dim_n", "control", "context", "histcheck"})
    limited.option(owned, 99);
  const int rc = limited.run();
  EXPECT_TRUE(limited.printed("CG: CGSolver(n=6, tol=1e-06, maxit=2)")) << limited.err;
  EXPECT_EQ(limited.res.it, 2);
  EXPECT_EQ(rc & 4, 4);  // iteration limit
  EXPECT_EQ(rc & 1, 1);  // not converged after two steps
  EXPECT_GT(h2.calls, 0);  // the callbacks saw the host's own context
  EXPECT_EQ(limited.res.calls, h2.calls);
}

TEST(LinsolveCG, CgLiftedAddsTheProcessWideShift) {
  const double saved = opts.regshift;
  Host h = spdHost();
  const Vec b = h.times(spdSolution());

  opts.regshift = 0.5;
  LinsolveCall lifted(h, b, "cglifted");
  lifted.option("tol", 1e-12);
  const int rc = lifted.run();
  opts.regshift = saved;
  ASSERT_EQ(rc, 0) << lifted.err;
  // (A + 0.5 I) x = b
  Vec shiftedProduct = h.times(lifted.x) + 0.5 * lifted.x;
  EXPECT_LT(maxAbsDiff(shiftedProduct, b), 1e-10);
  // The residual vector is still that of A itself.
  EXPECT_LT(maxAbsDiff(lifted.y, h.times(lifted.x) - b), 1e-12);
  for (const char* line : {"comp_linsolve:458: CG: CGSolver(", "comp_linsolve:459: Start CG",
                           "comp_linsolve:467: norm(A*Xcg - B)/norm(B) = ",
                           "comp_linsolve:469: CGSolver("})
    EXPECT_TRUE(lifted.printed(line)) << line << "\n" << lifted.err;
}

TEST(LinsolveCG, CgNormalSolvesTheShiftedNormalEquations) {
  Host h = tallHost();
  const Vec b{1.0, 0.0, -1.0, 2.0, 0.5, 1.0};

  LinsolveCall ls(h, b, "cgnormal");
  ls.option("tol", 1e-13);
  ASSERT_EQ(ls.run(), 0) << ls.err;
  EXPECT_LT(maxAbsDiff(ls.x, normalEquationsSolution(h, b)), 1e-10);
  EXPECT_LT(maxAbsDiff(ls.y, h.times(ls.x) - b), 1e-12);
  EXPECT_FALSE(ls.printed("comp_linsolve:490:"));
  for (const char* line :
       {"comp_linsolve:500: CG: CGSolver(n=3, tol=1e-13,", "comp_linsolve:501: Start CG with x0=",
        "comp_linsolve:513: norm(A'*A*Xcg - A'*B)/norm(A'*B) = ", "comp_linsolve:515: CGSolver("})
    EXPECT_TRUE(ls.printed(line)) << line << "\n" << ls.err;

  Host h2 = tallHost();
  LinsolveCall shifted(h2, b, "cgnormal");
  shifted.option("tol", 1e-13);
  shifted.option("shift", 0.5);
  ASSERT_EQ(shifted.run(), 0) << shifted.err;
  EXPECT_LT(maxAbsDiff(shifted.x, normalEquationsSolution(h2, b, 0.5)), 1e-10);

  // relshift replaces "shift" by relshift times the largest entry of A^T A 1.
  Host h3 = tallHost();
  const Vec ata1 = h3.times(h3.times(Vec(1.0, 3), false), true);
  const double maxe = ata1.max(), shift = 1e-3 * maxe;
  LinsolveCall relative(h3, b, "cgnormal");
  relative.option("tol", 1e-13);
  relative.option("shift", 0.5);
  relative.option("relshift", 1e-3);
  ASSERT_EQ(relative.run(), 0) << relative.err;
  EXPECT_TRUE(relative.printed("comp_linsolve:490: CG: set shift: maxe_est = " + shown(maxe) +
                               " * " + shown(1e-3) + " => shift = " + shown(shift) + "\n"))
      << relative.err;
  EXPECT_LT(maxAbsDiff(relative.x, normalEquationsSolution(h3, b, shift)), 1e-10);

  // The dense path gives the same answer without calling back.
  Host spy = tallHost();
  LinsolveCall dense(spy, b, "cgnormal");
  dense.A = h.a.data();
  dense.Acb = dense.ATcb = nullptr;
  dense.option("tol", 1e-13);
  ASSERT_EQ(dense.run(), 0) << dense.err;
  EXPECT_EQ(spy.calls, 0);
  EXPECT_LT(maxAbsDiff(dense.x, ls.x), 1e-12);
}

TEST(LinsolveCG, CgNormalWithoutUnknownsHasNothingToEstimate) {
  Host h(3, 0, {});
  LinsolveCall call(h, Vec{1.0, 2.0, 3.0}, "cgnormal");
  call.option("relshift", 1e-3);
  const int rc = call.run();
  EXPECT_GE(rc, 0) << call.err;
  EXPECT_TRUE(call.printed("comp_linsolve:490: CG: set shift: maxe_est = 0 * 0.001 => shift = 0\n"))
      << call.err;
  // The residual of the empty solution is -b.
  EXPECT_EQ(maxAbsDiff(call.y, Vec{-1.0, -2.0, -3.0}), 0.0);
}

TEST(LinsolveCG, FailingCallbackShowsInTheStatusWord) {
  const Vec b = spdHost().times(spdSolution());

  // Methods that do not watch the control record go on after the failure;
  // the status word says the answer is not to be trusted.
  for (const char* method : {"cg", "cglifted"}) {
    Host h = spdHost();
    h.failOn = 3;
    LinsolveCall call(h, b, method);
    call.option("tol", 1e-12);
    const int rc = call.run();
    EXPECT_EQ(rc & ZELKCOMP_STATUS_CALLBACK_FAILED, ZELKCOMP_STATUS_CALLBACK_FAILED) << method;
    EXPECT_TRUE(call.printed("Function callback returned non-zero status code: 7")) << call.err;
    EXPECT_EQ(call.res.calls, h.calls + 1) << method;  // the failed call counts twice
  }

  // "cgnormal" stops at the failure: state 2 with the external-stop bit,
  // and the failure bit as for every failed callback.
  Host h = tallHost();
  h.failOn = 3;
  LinsolveCall ls(h, Vec{1.0, 0.0, -1.0, 2.0, 0.5, 1.0}, "cgnormal");
  ls.option("tol", 1e-12);
  const int rc = ls.run();
  EXPECT_EQ(rc & 0x22, 0x22) << ls.err;
  EXPECT_EQ(rc & ZELKCOMP_STATUS_CALLBACK_FAILED, ZELKCOMP_STATUS_CALLBACK_FAILED);
  EXPECT_EQ(ls.res.calls, h.calls + 1);
}

TEST(LinsolveCG, MethodsWithoutAMatrixFreeSolve) {
  Host h = spdHost();
  const Vec b = h.times(spdSolution());

  // Names are case-sensitive: "CG" is not "cg".
  LinsolveCall unlisted(h, b, "CG");
  const int rc = unlisted.run();
  EXPECT_EQ(rc & 256, 256);
  EXPECT_EQ(unlisted.res.status, rc);
  EXPECT_EQ(unlisted.err, "comp_linsolve:680: linsolve method CG has no matfree version\n");
  EXPECT_TRUE(unlisted.xUntouched());
  EXPECT_TRUE(unlisted.allEqual(unlisted.y, 0.0));
  EXPECT_EQ(h.calls, 0);

  // The dense least-squares method has no callback form; it needs no
  // callbacks at all there.
  LinsolveCall noMatrix(h, b, "matrixvectorsolve");
  noMatrix.Acb = noMatrix.ATcb = nullptr;
  EXPECT_EQ(noMatrix.run() & 256, 256);
  EXPECT_EQ(noMatrix.err,
            "comp_linsolve:187: linsolve method matrixvectorsolve has no matfree version\n");
  EXPECT_TRUE(noMatrix.xUntouched());
  EXPECT_TRUE(noMatrix.allEqual(noMatrix.y, 0.0));
}

TEST(LinsolveCG, RefusesArgumentsBeforeAnySolve) {
  Host h = tallHost();
  const Vec b{1.0, 0.0, -1.0, 2.0, 0.5, 1.0};
  auto expectRefused = [&](LinsolveCall& call, const char* what) {
    EXPECT_EQ(call.run(), ZELKCOMP_ERR_ARGUMENT) << what;
    EXPECT_TRUE(call.printed("zelkcomp_linsolve: invalid argument: ")) << call.err;
    EXPECT_TRUE(call.xUntouched()) << what;
    EXPECT_TRUE(call.yUntouched()) << what;
    EXPECT_TRUE(call.resUntouched()) << what;
    EXPECT_EQ(h.calls, 0) << what;
  };
  {
    LinsolveCall c(h, b, "cgnormal");
    c.nullMethod = true;
    expectRefused(c, "method");
  }
  {
    LinsolveCall c(h, b, "cgnormal");
    c.nullB = true;
    expectRefused(c, "b");
  }
  {
    LinsolveCall c(h, b, "cgnormal");
    c.nullX0 = true;
    expectRefused(c, "x0");
  }
  {
    LinsolveCall c(h, b, "cgnormal");
    c.m = -1;
    expectRefused(c, "m");
  }
  {
    LinsolveCall c(h, b, "cgnormal");
    c.n = static_cast<long>(INT_MAX) + 1;
    expectRefused(c, "n");
  }
  {
    LinsolveCall c(h, b, "cg");
    c.Acb = nullptr;
    expectRefused(c, "A_cb for cg");
  }
  {
    LinsolveCall c(h, b, "cgnormal");
    c.ATcb = nullptr;
    expectRefused(c, "AT_cb for cgnormal");
  }
}

TEST(LinsolveCG, WronglyTypedOptionIsAnErrorWithoutOutput) {
  const Vec b = spdHost().times(spdSolution());
  // A whole-number value arrives as an integer: an integral "tol" is refused
  // by the solver, a fractional "maxit" likewise, and an integral "slowtol"
  // already by the history checker of the call.
  for (auto [name, value] : {std::pair{"tol", 1.0}, {"maxit", 10.5}, {"slowtol", 1.0}}) {
    for (const bool dense : {false, true}) {
      Host h = spdHost();
      LinsolveCall call(h, b, "cg");
      if (dense) call.A = h.a.data();
      call.option(name, value);
      EXPECT_EQ(call.run(), ZELKCOMP_ERR_INTERNAL) << name;
      EXPECT_TRUE(call.printed("wrong kind")) << call.err;
      EXPECT_TRUE(call.xUntouched()) << name;
      EXPECT_TRUE(call.yUntouched()) << name;
      EXPECT_TRUE(call.resUntouched()) << name;
    }
  }
}

}  // namespace
