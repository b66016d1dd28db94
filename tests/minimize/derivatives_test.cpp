// Derivative evaluations of the minimisation driver on a cubic with known
// gradient and Hessian, at a general point and at the origin.

#include <cmath>
#include <valarray>

#include "minimize/zelk_fixtures.h"

namespace {

using namespace zelk_test;
using Vec = std::valarray<double>;

class Derivatives : public SearchTest {
 protected:
  Derivatives() {
    task_.objective = objective;
    task_.gradient = gradient;
    task_.hessianProduct = product;
    task_.user = &h_;
  }
  static Vec gradientAt(const Vec& x) {
    Vec g(3);
    cubicGradient(&x[0], &g[0]);
    return g;
  }
  static MatrixTemplate<double> hessianAt(const Vec& x) {
    MatrixTemplate<double> H(3, 3);
    cubicHessian(&x[0], H.data());
    return H;
  }
  Host h_{&cubic()};
};

TEST_F(Derivatives, DifferencesMatchTheCubicAlsoAtTheOrigin) {
  struct Case {
    Vec x;
    double gradientTol, hessianTol;
  };
  for (const Case& c : {Case{{0.7, -1.3, 2.1}, 1e-6, 1e-3}, Case{{0, 0, 0}, 1e-7, 1e-4}}) {
    SCOPED_TRACE(c.x[0]);
    const Vec g = gradientAt(c.x);
    const MatrixTemplate<double> H = hessianAt(c.x);

    const FdGradient fd = task_.fdgradientWithNoise(c.x, 0.0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(fd.g[i], g[i], c.gradientTol) << i;
    EXPECT_TRUE(std::isfinite(fd.noise));

    h_.counts.objective = 0;
    Vec gOut;
    const MatrixTemplate<double> Hfd = task_.fdHessian(c.x, gOut, nullptr);
    EXPECT_EQ(h_.counts.objective, 1 + 2 * 3 + 3 * 2);
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
  const MatrixTemplate<double> H = hessianAt(x);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_EQ(W(i, j), H(i, j));

  // A NaN in the block itself, w being finite, stops the run (here: records
  // the error).
  opts.enableExit = 0;
  h_.nanProduct = true;
  EXPECT_EQ(stderrOf([&] { task_.hessveceval(x, V, w); }), "stop: NaN values encountered\n");
  EXPECT_EQ(state.error, 3);
  EXPECT_EQ(state.nHv, 2);
}

}  // namespace
