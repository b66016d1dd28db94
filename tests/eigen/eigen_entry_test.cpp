// The exported eigenvalue entry points with a host operator: the square
// case, the normal equations of a rectangular matrix, refused arguments,
// throwing and failing callbacks.

#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linear/linsolve_test_host.h"
#include "zelk/zelkcomp.h"

namespace {

using namespace linsolve_test;

// 5 x 3 with singular values 3, 2 and 0.5: A^T A = diag(4, 9, 0.25).
Host knownSingularValues() {
  return Host(5, 3, {0, 3, 0,  0, 0, 0.5,  2, 0, 0,  0, 0, 0,  0, 0, 0});
}

int throwingProduct(const double*, long, double*, long, void*) {
  throw std::runtime_error("host product gave up");
}

// One call of either entry point; the outputs start at recognisable values.
struct EigenCall {
  explicit EigenCall(Host* h) : host(h), m(h->rows), n(h->cols) {}

  Host* host;
  long m, n, maxit = 1000;
  double shift = 0.0, tol = 1e-12;
  const double* x0 = nullptr;
  const double* maxe = nullptr;
  ExternalVectorCallback A = hostProduct, AT = hostTransposedProduct;
  std::vector<const char*> names;
  std::vector<double> values;

  int rc = 0;
  double value = -1.0;
  Vec v = Vec(-1.0, static_cast<std::size_t>(n));
  IterativeResult res{};
  std::string err;

  EigenCall& run(bool minimum) {
    const long k = static_cast<long>(names.size());
    testing::internal::CaptureStderr();
    rc = minimum ? zelkcomp_mineigen(x0, &v[0], m, n, &value, maxe, A, AT, maxit, &res, this,
                                     names.data(), values.data(), k, host, shift, tol)
                 : zelkcomp_maxeigen(x0, &v[0], m, n, &value, A, AT, maxit, &res, this,
                                     names.data(), values.data(), k, host, shift, tol);
    err = testing::internal::GetCapturedStderr();
    return *this;
  }
};

TEST(EigenEntry, SquareAndNormalEquations) {
  Host d(3, 3, {1, 0, 0,  0, 2, 0,  0, 0, 5});
  EigenCall sq(&d);
  sq.AT = nullptr;  // square: the transpose is never needed
  EXPECT_EQ(sq.run(false).rc, 0) << sq.err;
  EXPECT_NEAR(sq.value, 5.0, 1e-10);
  EXPECT_EQ(sq.res.calls, d.calls);

  Host h = knownSingularValues();
  const Vec ones(1.0, 3);
  EigenCall mx(&h);
  mx.x0 = &ones[0];
  EXPECT_EQ(mx.run(false).rc, 0) << mx.err;
  EXPECT_NEAR(mx.value, 9.0, 1e-10);
  EXPECT_NEAR(std::fabs(mx.v[1]), 1.0, 1e-6);

  EigenCall mn(&h);
  EXPECT_EQ(mn.run(true).rc & ~1, 0) << mn.err;
  EXPECT_NEAR(mn.value, 0.25, 1e-10);
  EXPECT_NEAR(std::fabs(mn.v[2]), 1.0, 1e-6);
  EXPECT_NE(mn.err.find("comp_linsolve:885: zelkcomp_mineigen: computed max eigen value: "),
            std::string::npos);

  // Too few steps for the largest eigenvalue: 64, and no value written.
  EigenCall few(&h);
  few.maxit = 2;
  EXPECT_EQ(few.run(true).rc & 64, 64);
  EXPECT_EQ(few.value, -1.0);

  // Whole numbers for the real-valued "maxe" and "maxt" count as reals.
  EigenCall opt(&h);
  opt.names = {"maxe", "maxt"};
  opt.values = {9.0, 100.0};
  EXPECT_EQ(opt.run(true).rc & ~1, 0) << opt.err;
  EXPECT_EQ(opt.err.find("computed max eigen"), std::string::npos);
  EXPECT_NEAR(opt.value, 0.25, 1e-10);
  opt.names = {"maxt"};
  EXPECT_EQ(opt.run(true).rc & ~1, 0) << opt.err;
}

TEST(EigenEntry, RefusedArgumentsAndThrowingCallbacksWriteNothing) {
  Host h = knownSingularValues();
  for (bool minimum : {false, true}) {
    EigenCall noA(&h), noAT(&h), negative(&h), huge(&h), thrower(&h);
    noA.A = nullptr;
    noAT.AT = nullptr;
    negative.m = -1;
    huge.n = static_cast<long>(INT_MAX) + 1;
    thrower.A = throwingProduct;
    for (EigenCall* c : {&noA, &noAT, &negative, &huge, &thrower}) {
      c->run(minimum);
      EXPECT_EQ(c->rc, c == &thrower ? ZELKCOMP_ERR_INTERNAL : ZELKCOMP_ERR_ARGUMENT) << c->err;
      EXPECT_EQ(c->value, -1.0);
      EXPECT_EQ(c->v[0], -1.0);
    }
    EXPECT_NE(thrower.err.find("host product gave up"), std::string::npos);
  }
  EXPECT_EQ(h.calls, 0);
}

TEST(EigenEntry, FailedCallbacksShowInTheStatus) {
  const Vec ones(1.0, 3);
  const double maxe = 9.0;
  // Fails on the chosen call, or (0) on the last call a clean run makes,
  // which belongs to the final product after the iteration.
  auto failing = [&](bool minimum, int failOn, const double* knownMax) {
    Host h = knownSingularValues();
    EigenCall c(&h);
    c.x0 = &ones[0];
    c.maxe = knownMax;
    if (failOn == 0) {
      c.run(minimum);
      failOn = h.calls;
      h.calls = 0;
    }
    h.failOn = failOn;
    c.run(minimum);
    EXPECT_NE(c.err.find("Function callback returned non-zero status code: 7"), std::string::npos);
    if ((c.rc & 64) == 0) {  // 64 reports no count
      EXPECT_GT(c.res.calls, failOn);
    }
    return c.rc;
  };
  EXPECT_EQ(failing(false, 3, &maxe) & 39, 39);
  EXPECT_EQ(failing(false, 0, &maxe) & 39, 39);
  EXPECT_EQ(failing(true, 4, &maxe) & 39, 39);  // inside an inner CG solve
  EXPECT_EQ(failing(true, 0, &maxe) & 39, 39);
  // While the largest eigenvalue is computed first.
  EXPECT_NE(failing(true, 3, nullptr) & 96, 0);
}

// One call from `start` with the given "shift" and "tol" (and the known
// largest eigenvalue maxe for the minimum).
EigenCall steered(Host& h, const Vec& start, bool minimum, double shift, double tol,
                  const double* maxe = nullptr) {
  EigenCall c(&h);
  c.x0 = &start[0];
  c.maxe = maxe;
  c.shift = shift;
  c.tol = tol;
  c.run(minimum);
  return c;
}

TEST(EigenEntry, ShiftAndToleranceArgumentsSteerTheIteration) {
  Host d(3, 3, {1, 0, 0,  0, 2, 0,  0, 0, 5});
  const Vec start{1.0, 0.7, 0.4};
  // A + shift I = diag(-4, -3, 0): its dominant eigenvalue belongs to 1.
  const EigenCall mx = steered(d, start, false, -5.0, 1e-12);
  EXPECT_EQ(mx.rc, 0) << mx.err;
  EXPECT_NEAR(mx.value, 1.0, 1e-10);
  // Inverse iteration finds the eigenvalue nearest to -shift.
  const double maxe = 5.0;
  const EigenCall mn = steered(d, start, true, -1.9, 1e-12, &maxe);
  EXPECT_EQ(mn.rc & ~1, 0) << mn.err;
  EXPECT_NEAR(mn.value, 2.0, 1e-10);
  // A looser tolerance stops sooner, still within it.
  const EigenCall loose = steered(d, start, false, 0.0, 1e-3);
  EXPECT_LT(loose.res.it, steered(d, start, false, 0.0, 1e-12).res.it);
  EXPECT_LT(loose.res.residual, 1e-3);
  EXPECT_GT(loose.res.residual, 1e-12);
}

TEST(EigenEntry, AShiftThatDwarfsTheSpectrumIsCorrectOrFlagged) {
  // diag(1, 3): the largest eigenvalue is 3, the one nearest to -shift 1.
  Host d(2, 2, {1, 0, 0, 3});
  const Vec start{0.6, 0.8};
  const double maxe = 3.0;
  for (bool minimum : {false, true}) {
    for (double shift : {1e8, 1e200}) {
      const EigenCall c = steered(d, start, minimum, shift, 1e-6, &maxe);
      const bool correct = std::fabs(c.value - (minimum ? 1.0 : 3.0)) < 1e-5;
      EXPECT_TRUE(correct || (c.rc & ZELKCOMP_STATUS_CHECK_FAILED))
          << minimum << " " << shift << " " << c.value << " " << c.rc;
      EXPECT_GE(c.rc, 0);
    }
  }
}

TEST(EigenEntry, ANegativeCallbackCodeNeverLooksLikeAnError) {
  const double maxe = 9.0;
  for (bool minimum : {false, true}) {
    Host h = knownSingularValues();
    h.failOn = 2;
    h.failCode = -1;
    EigenCall c(&h);
    c.maxe = &maxe;
    c.run(minimum);
    EXPECT_GE(c.rc, 1 << 30) << minimum;
    // The word with bit 31 set again is the code OR 32 with the other bits.
    EXPECT_EQ(static_cast<long>(c.rc) - (1L << 31), -1L) << minimum;
    EXPECT_EQ(c.res.status, c.rc);
  }
}

}  // namespace
