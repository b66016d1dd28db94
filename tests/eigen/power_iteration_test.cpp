// Power and inverse iteration, directly and through the exported entry
// points, on operators with known spectra.

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eigen/power_iteration.h"
#include "linear/iteration_control.h"
#include "linear/linsolve_test_host.h"
#include "zelk/zelkcomp.h"

namespace {

using namespace linsolve_test;

Host secondDifference(long n) {
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  for (long i = 0; i < n; ++i) {
    a[static_cast<std::size_t>(i * n + i)] = 2.0;
    if (i + 1 < n)
      a[static_cast<std::size_t>(i * n + i + 1)] = a[static_cast<std::size_t>((i + 1) * n + i)] = -1.0;
  }
  return Host(n, n, std::move(a));
}

// 5 x 3 with singular values 3, 2 and 0.5: A^T A has eigenvalues 9, 4, 0.25.
Host knownSingularValues() {
  return Host(5, 3, {0, 3, 0,  0, 0, 0.5,  2, 0, 0,  0, 0, 0,  0, 0, 0});
}

struct EigenRun {
  int rc = 0;
  double value = -1.0;
  Vec v;
  IterativeResult res{};
  std::string err;
};

EigenRun maxeig(Host& h, double tol, long maxit, const double* x0 = nullptr, bool withAT = true) {
  EigenRun r;
  r.v.resize(static_cast<std::size_t>(h.cols));
  testing::internal::CaptureStderr();
  r.rc = zelkcomp_maxeigen(x0, &r.v[0], h.rows, h.cols, &r.value, hostProduct,
                           withAT ? hostTransposedProduct : nullptr, maxit, &r.res, nullptr,
                           nullptr, nullptr, 0, &h, 0.0, tol);
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

EigenRun mineig(Host& h, double tol, long maxit, const double* maxe = nullptr,
                std::vector<const char*> names = {}, std::vector<double> values = {}) {
  EigenRun r;
  r.v.resize(static_cast<std::size_t>(h.cols));
  testing::internal::CaptureStderr();
  r.rc = zelkcomp_mineigen(nullptr, &r.v[0], h.rows, h.cols, &r.value, maxe, hostProduct,
                           hostTransposedProduct, maxit, &r.res, nullptr, names.data(),
                           values.data(), static_cast<long>(names.size()), &h, 0.0, tol);
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

TEST(PowerIteration, ExtremeEigenvaluesOfTheSecondDifferenceMatrix) {
  const long n = 10;
  Host h = secondDifference(n);
  const double top = 2.0 - 2.0 * std::cos(10.0 * M_PI / 11.0);
  const double bottom = 2.0 - 2.0 * std::cos(M_PI / 11.0);

  const EigenRun mx = maxeig(h, 1e-10, 20000, nullptr, false);  // square: AT never needed
  EXPECT_EQ(mx.rc, 0) << mx.err;
  EXPECT_NEAR(mx.value, top, 1e-9);
  EXPECT_LT(mx.res.residual, 1e-10);
  EXPECT_EQ(mx.res.calls, h.calls);
  // The iterate is the unit eigenvector: A v = top v.
  EXPECT_LT(maxAbsDiff(h.times(mx.v), top * mx.v), 1e-4);
  EXPECT_NE(mx.err.find("comp_linsolve:797: maxeigen: powit converged to me = "), std::string::npos);
  EXPECT_NE(mx.err.find("comp_linsolve:801: maxeigen: powit result me = "), std::string::npos);

  const EigenRun mn = mineig(h, 1e-10, 2000);
  EXPECT_EQ(mn.rc & ~1, 0) << mn.err;
  EXPECT_NEAR(mn.value, bottom, 1e-9);
  EXPECT_NE(mn.err.find("comp_linsolve:885: zelkcomp_mineigen: computed max eigen value: "),
            std::string::npos);
  EXPECT_NE(mn.err.find("comp_linsolve:904: mineigen: inv powit returned me = "), std::string::npos);

  // Too few steps for the largest eigenvalue: status 64, no value.
  const EigenRun short_ = mineig(h, 1e-10, 20);
  EXPECT_EQ(short_.rc & 64, 64);
  EXPECT_EQ(short_.value, -1.0);

  // A known largest eigenvalue skips the preliminary run; a whole number
  // given as a host option counts as a real.
  const double maxe = 4.0;
  EXPECT_EQ(mineig(h, 1e-10, 1000, &maxe).err.find("computed max eigen"), std::string::npos);
  const EigenRun opt = mineig(h, 1e-10, 1000, nullptr, {"maxe", "maxt"}, {4.0, 100.0});
  EXPECT_GE(opt.rc, 0) << opt.err;
  EXPECT_EQ(opt.err.find("computed max eigen"), std::string::npos);
  EXPECT_NEAR(opt.value, bottom, 1e-9);
}

TEST(PowerIteration, RectangularOperatorsUseTheNormalEquations) {
  Host h = knownSingularValues();
  const Vec x0{1.0, 1.0, 1.0};
  const EigenRun mx = maxeig(h, 1e-12, 1000, &x0[0]);
  EXPECT_EQ(mx.rc, 0) << mx.err;
  EXPECT_NEAR(mx.value, 9.0, 1e-10);
  const EigenRun mn = mineig(h, 1e-12, 1000);
  EXPECT_EQ(mn.rc & ~1, 0) << mn.err;
  EXPECT_NEAR(mn.value, 0.25, 1e-10);

  // Refused before anything runs: the transpose is needed here.
  EigenRun noAT = maxeig(h, 1e-12, 1000, &x0[0], false);
  EXPECT_EQ(noAT.rc, ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(noAT.value, -1.0);
  double value = -1.0;
  EXPECT_EQ(zelkcomp_maxeigen(nullptr, nullptr, -1, 3, &value, hostProduct, hostProduct, 10,
                              nullptr, nullptr, nullptr, nullptr, 0, &h, 0.0, 1e-8),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(zelkcomp_mineigen(nullptr, nullptr, 3, 3, &value, nullptr, nullptr, nullptr, 10,
                              nullptr, nullptr, nullptr, nullptr, 0, &h, 0.0, 1e-8),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(value, -1.0);
}

TEST(PowerIteration, FailingCallbacksShowInTheStatus) {
  Host h = secondDifference(12);
  h.failOn = 5;
  h.failCode = 7;
  const EigenRun mx = maxeig(h, 1e-12, 1000);
  EXPECT_EQ(mx.rc & 39, 39) << mx.err;  // the code with bit 32
  EXPECT_NE(mx.err.find("Function callback returned non-zero status code: 7"), std::string::npos);

  // The inverse iteration's inner solves never look at the record; the
  // failure must still reach the status word.
  Host g = secondDifference(12);
  g.failOn = 40;
  g.failCode = 7;
  const double maxe = 4.0;
  const EigenRun mn = mineig(g, 1e-12, 1000, &maxe);
  EXPECT_EQ(mn.rc & 39, 39) << mn.err;
}

TEST(PowerIteration, DirectCallsAtTheirLimits) {
  const Vec d{1.0, 2.0, 5.0};
  auto product = [&](const Vec& x) { return Vec(d * x); };
  IterationControl control{};
  const SizedVectorFunction<decltype(product)> A(
      {{"dim_m", 3L}, {"dim_n", 3L}, {"maxit", 0L}, {"maxe", 5.0},
       {"control", static_cast<void*>(&control)}},
      product);

  // No step: the quotient of the normalised start is still reported.
  Vec x{1.0, 1.0, 1.0};
  double value = 0.0;
  testing::internal::CaptureStderr();
  OptionMap st = Zelk::maxeigen(A, x, &value);
  EXPECT_EQ(std::get<long>(st["status"]), 0);
  EXPECT_EQ(std::get<long>(st["it"]), 0);
  EXPECT_EQ(std::get<double>(st["residual"]), 0.0);
  EXPECT_NEAR(value, 8.0 / 3.0, 1e-15);
  x = Vec{1.0, 1.0, 1.0};
  st = Zelk::mineigen(A, x, &value);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::get<long>(st["status"]), 4);
  EXPECT_NEAR(value, 8.0 / 3.0, 1e-15);

  // A stop request ends the power iteration with the caller's status.
  const SizedVectorFunction<decltype(product)> B(
      {{"dim_m", 3L}, {"dim_n", 3L}, {"tol", 1e-300}, {"control", static_cast<void*>(&control)}},
      product);
  control.state = 4;
  control.value = 77.0;
  x = Vec{1.0, 1.0, 1.0};
  testing::internal::CaptureStderr();
  st = Zelk::maxeigen(B, x, nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::get<long>(st["status"]), 77);
  EXPECT_EQ(std::get<long>(st["it"]), 0);

  const EigenPair pair = maxEigenPair(A, 3, Vec(), 1e-12, 1000);
  EXPECT_NEAR(pair.eigenvalue, 5.0, 1e-10);
  EXPECT_NEAR(std::fabs(pair.vector[2]), 1.0, 1e-6);
  EXPECT_LT(std::get<double>(pair.info.at("res")), 1e-12);
}

}  // namespace
