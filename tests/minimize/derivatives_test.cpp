// Derivative evaluations of the minimisation driver on a cubic with known
// gradient and Hessian, at a general point and at the origin.

#include <cmath>
#include <valarray>

#include <gtest/gtest.h>

#include "minimize/optimization_task.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "support/fp_traps.h"

namespace {

using Vec = std::valarray<double>;

// f = x0^3 + 2 x0 x1^2 - x2^3 / 3 + x1 x2
Vec gradientOf(const double* x) {
  return {3 * x[0] * x[0] + 2 * x[1] * x[1], 4 * x[0] * x[1] + x[2], -x[2] * x[2] + x[1]};
}
MatrixTemplate<double> hessianOf(const double* x) {
  return MatrixTemplate<double>(
      3, 3, Vec{6 * x[0], 4 * x[1], 0, 4 * x[1], 4 * x[0], 1, 0, 1, -2 * x[2]});
}

struct Calls {
  int objective = 0, gradient = 0, product = 0;
  bool nanProduct = false;
};

int cubic(const double* x, long, double* f, long, void* user) {
  ++static_cast<Calls*>(user)->objective;
  *f = x[0] * x[0] * x[0] + 2 * x[0] * x[1] * x[1] - x[2] * x[2] * x[2] / 3 + x[1] * x[2];
  return 0;
}
int cubicGradient(const double* x, long, double*, long, double* g, void* user) {
  ++static_cast<Calls*>(user)->gradient;
  const Vec v = gradientOf(x);
  for (int i = 0; i < 3; ++i) g[i] = v[i];
  return 0;
}
int cubicProduct(const double* x, long, double*, long, const double* V, int k, double* w,
                 double* W, void* user) {
  Calls& c = *static_cast<Calls*>(user);
  ++c.product;
  const MatrixTemplate<double> H = hessianOf(x);
  for (int i = 0; i < 3; ++i) {
    w[i] = 0;
    for (int j = 0; j < k; ++j) {
      double s = 0;
      for (int l = 0; l < 3; ++l) s += H(i, l) * V[l * k + j];
      W[i * k + j] = s;
    }
  }
  if (c.nanProduct) W[k - 1] = std::nan("");
  return 0;
}

class Derivatives : public ::testing::Test {
 protected:
  void SetUp() override {
    task_.objective = cubic;
    task_.gradient = cubicGradient;
    task_.hessianProduct = cubicProduct;
    task_.user = &calls_;
    state.reset();
  }
  FpTrapGuard traps_;
  Calls calls_;
  HostEnvironment host_;  // never armed: the guards do nothing
  OptimizationTask task_{host_};
};

TEST_F(Derivatives, DifferencesMatchTheCubicAlsoAtTheOrigin) {
  struct Case {
    Vec x;
    double gradientTol, hessianTol;
  };
  for (const Case& c : {Case{{0.7, -1.3, 2.1}, 1e-6, 1e-3}, Case{{0, 0, 0}, 1e-7, 1e-4}}) {
    SCOPED_TRACE(c.x[0]);
    const Vec g = gradientOf(&c.x[0]);
    const MatrixTemplate<double> H = hessianOf(&c.x[0]);

    const FdGradient fd = task_.fdgradientWithNoise(c.x, 0.0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(fd.g[i], g[i], c.gradientTol) << i;
    EXPECT_TRUE(std::isfinite(fd.noise));

    calls_.objective = 0;
    Vec gOut;
    const MatrixTemplate<double> Hfd = task_.fdHessian(c.x, gOut, nullptr);
    EXPECT_EQ(calls_.objective, 1 + 2 * 3 + 3 * 2);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(gOut[i], g[i]);
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(Hfd(i, j), H(i, j), c.hessianTol) << i << j;
    }

    const Vec v{0.3, -0.2, 0.9};
    const Vec hv = task_.fdHessianProductExactGradient(c.x, v, gOut, nullptr);
    const Vec want = matrixVectorProduct(H, v);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(hv[i], want[i], 1e-6) << i;
  }
  EXPECT_EQ(state.nFdGrad, 2);
  EXPECT_EQ(state.nFdHess, 2);
  EXPECT_EQ(state.nFdHv, 2);
}

TEST_F(Derivatives, HessianProductsAreBlocksAndChecked) {
  const Vec x{0.7, -1.3, 2.1};
  const MatrixTemplate<double> V(3, 2, Vec{1, 0, 0, 1, 0, 0});
  Vec w;
  const MatrixTemplate<double> W = task_.hessveceval(x, V, w);
  ASSERT_EQ(W.cols, 2u);
  EXPECT_EQ(w.size(), 3u);
  const MatrixTemplate<double> H = hessianOf(&x[0]);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_EQ(W(i, j), H(i, j));

  // A NaN in the block itself stops the run (here: records the error).
  opts.enableExit = 0;
  calls_.nanProduct = true;
  testing::internal::CaptureStderr();
  task_.hessveceval(x, V, w);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "stop: NaN values encountered\n");
  EXPECT_EQ(state.error, 3);
  opts.enableExit = 1;
  EXPECT_EQ(state.nHv, 2);
}

}  // namespace
