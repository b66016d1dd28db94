// Search directions of the minimisation driver and the choice among them,
// with the floating-point traps on.

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <valarray>
#include <vector>

#include <gtest/gtest.h>

#include "minimize/search_directions.h"
#include "minimize/search_fixture.h"
#include "options/search_dir.h"

namespace {

using Vec = std::valarray<double>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(MaskToFlags, BitsInIncreasingOrder) {
  using L = std::vector<SearchDir>;
  EXPECT_EQ(maskToFlags<SearchDir>(0x48), (L{SearchDir::SD3, SearchDir::SD6}));
  EXPECT_EQ(maskToFlags<SearchDir>(5), (L{SearchDir::SD0, SearchDir::SD2}));
  EXPECT_TRUE(maskToFlags<SearchDir>(0).empty());
  const L top = maskToFlags<SearchDir>(1ul << 31);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(top[0]), 1u << 31);
  EXPECT_EQ(sdname(top[0]), "unknown");
  EXPECT_TRUE(maskToFlags<SearchDir>(1ul << 32).empty());
}

class Directions : public search_test::SearchTest {
 protected:
  Directions() {
    task_.objective = &Directions::objective;
    task_.user = this;
  }
  static Directions& of(void* user) { return *static_cast<Directions*>(user); }
  // The value table of the fixed-step tests: f(x) = values[x_0].
  static int objective(const double* x, long, double* f, long, void* user) {
    *f = of(user).values.at(x[0]);
    return 0;
  }
  // H = diag(h) as a block product; counted.
  static int product(const double*, long n, double*, long, const double* V, int k, double* w,
                     double* W, void* user) {
    Directions& t = of(user);
    ++t.products;
    for (long i = 0; i < n; ++i) {
      w[i] = 0.0;
      for (int j = 0; j < k; ++j) W[i * k + j] = t.h[i] * V[i * k + j];
    }
    return 0;
  }

  Vec sd1(const Vec& g, const Vec& gPrev, const Vec& dPrev, double& beta) {
    Vec eig(0.0, 2);
    double lambda = 0.0;
    return task_.mkSearchDir(SearchDir::SD1, g, g, gPrev, dPrev, eig, lambda, beta, nullptr);
  }

  std::map<double, double> values;
  Vec h{1.0, 1.0};
  int products = 0;
};

TEST_F(Directions, NonlinearCGCoefficients) {
  // y = g - gPrev = (-1, 2): g.g = 10, gPrev.gPrev = 5, g.y = 5, y.dPrev = 1.
  const Vec g{1, 3}, gPrev{2, 1}, dPrev{-3, -1};
  struct Case {
    int cgmode;
    double expected;
    const char* err;
    Vec dPrev;
    int cgbetalim = 0;
    const char* out = "";
    double cgbeta = 0.7;
  };
  const std::vector<Case> cases = {
      {1, 2.0, "", dPrev},
      {2, 1.0, "", dPrev},
      {3, 5.0, "CG: HS\n", dPrev},
      {4, 10.0, "CG: DY\n", dPrev},
      {0, 0.7, "", dPrev},
      // y.dPrev = 0
      {3, 0.0, "CG: HS\n", {-2, -1}, 0, "CG beta rected: inf\n"},
      {4, 0.0, "CG: DY\n", {-2, -1}, 1, "CG beta rected: inf\n"},
      // y.dPrev = -1
      {4, 0.0, "CG: DY\n", {-1, -1}, 1},
      {4, -10.0, "CG: DY\n", {-1, -1}, 0},
      // NaN is caught before the sign test
      {0, 0.0, "", dPrev, 1, "CG beta rected: nan\n", kNaN},
      {0, 1e6, "", dPrev, 0, "CG beta: 1e+06\n", 1e6},
      {0, 0.0, "", dPrev, 0, "CG beta rected: 1e+06\n", 1000000.5},
  };
  state.iter = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cgmode);
    opts.cgmode = c.cgmode;
    opts.cgbetalim = c.cgbetalim;
    opts.cgbeta = c.cgbeta;
    task_.cgDirection = c.dPrev;
    double beta = kNaN;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const Vec d = sd1(g, gPrev, c.dPrev, beta);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(beta, c.expected);
    EXPECT_EQ(d[0], c.expected * c.dPrev[0] - g[0]);
    EXPECT_EQ(d[1], c.expected * c.dPrev[1] - g[1]);
    EXPECT_EQ(out.find(c.out), 0u) << out;
  }
}

TEST_F(Directions, NonlinearCGRestarts) {
  const Vec g{1, 3}, gPrev{2, 1}, dPrev{-3, -1};
  struct Case {
    const char* what;
    int iter, cgreset;
    Vec stored;
  };
  for (const Case& c : std::vector<Case>{{"iteration 0", 0, 0, dPrev},
                                         {"cgreset 5 at 10", 10, 5, dPrev},
                                         {"stored direction of another length", 4, 0, Vec{1.0}}}) {
    SCOPED_TRACE(c.what);
    state.iter = c.iter;
    opts.cgreset = c.cgreset;
    task_.cgDirection = c.stored;
    double beta = kNaN;
    const Vec d = sd1(g, gPrev, dPrev, beta);
    EXPECT_EQ(beta, 0.0);
    EXPECT_EQ(d[0], -1.0);
    EXPECT_EQ(d[1], -3.0);
  }
}

TEST_F(Directions, LiftedAndCorrectedSpectra) {
  const MatrixTemplate<double> H(3, 3, Vec{-3, 0, 0, 0, -1, 0, 0, 0, 2});
  const DecomposedSymMatrix_syevd hess(H);
  DecomposedGeneralMatrix target;
  liftEigenvalues(task_, hess, target, "corr");
  EXPECT_EQ(target.s[0], 1e-14);
  EXPECT_EQ(target.s[1], 1e-16);
  EXPECT_EQ(target.s[2], 2.0);
  EXPECT_EQ(task_.hessianShift, 1e-16 + 3.0);
  liftEigenvalues(task_, hess, target, "lv");
  EXPECT_EQ(target.s[0], 1e-16);
  EXPECT_EQ(target.s[1], 2.0 + 1e-16);
  EXPECT_EQ(target.s[2], 5.0 + 1e-16);
  for (double sign : target.sign) EXPECT_EQ(sign, 1.0);

  // Positive definite: both kinds give the Newton direction, no shift.
  const DecomposedSymMatrix_syevd spd(MatrixTemplate<double>(2, 2, Vec{2, 1, 1, 3}));
  task_.hessianShift = -5.0;
  const Vec g{1, 1};
  Vec eig(0.0, 2);
  double lambda = 0.0, beta = 0.0;
  testing::internal::CaptureStderr();
  const Vec d3 = task_.mkSearchDir(SearchDir::SD3, g, g, g, g, eig, lambda, beta, &spd);
  const Vec d4 = task_.mkSearchDir(SearchDir::SD4, g, g, g, g, eig, lambda, beta, &spd);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(task_.hessianShift, -5.0);
  EXPECT_NEAR(d3[0], -0.4, 1e-15);  // H^-1 = (3, -1; -1, 2) / 5
  EXPECT_NEAR(d3[1], -0.2, 1e-15);
  EXPECT_EQ(d3[0], d4[0]);
  EXPECT_EQ(d3[1], d4[1]);
  EXPECT_NEAR(lambda, (5 - std::sqrt(5.0)) / 2, 1e-14);
}

TEST_F(Directions, MatrixFreeNewtonKindsOnProducts) {
  task_.hessianProduct = &Directions::product;
  h = {0.1, 1.0};  // convex, one small eigenvalue: the start shift -2 lifts it below 0
  state.liftShift() = -2.0;
  const Vec x{0, 0}, g{0.1, 1.0};
  Vec eig(0.0, 2);
  double lambda = 0.0, beta = 0.0;
  for (SearchDir kind : {SearchDir::SD2, SearchDir::SD3}) {
    SCOPED_TRACE(sdname(kind));
    const Vec d = task_.mkSearchDir(kind, x, g, g, g, eig, lambda, beta, nullptr);
    EXPECT_LT(d[0] * g[0] + d[1] * g[1], 0.0);
    EXPECT_NEAR(d[0], -1.0, 1e-3);
    EXPECT_NEAR(d[1], -1.0, 1e-3);
  }
  EXPECT_GT(state.liftShift(), 0.0);
  // A zero gradient is answered without a solve.
  products = 0;
  const Vec zero{0, 0};
  for (SearchDir kind : {SearchDir::SD2, SearchDir::SD3}) {
    const Vec d = task_.mkSearchDir(kind, x, zero, zero, zero, eig, lambda, beta, nullptr);
    EXPECT_EQ(d[0], 0.0);
    EXPECT_EQ(d[1], 0.0);
  }
  EXPECT_EQ(products, 0);
}

TEST_F(Directions, MatrixFreeSD3EndsOnAHessianItCannotSolve) {
  task_.hessianProduct = &Directions::product;
  h = {kNaN, 1.0};
  opts.enableExit = 0;
  state.liftShift() = -2.0;
  const Vec x{0, 0}, g{1, 1};
  Vec eig(0.0, 2);
  double lambda = 0.0, beta = 0.0;
  testing::internal::CaptureStderr();
  task_.mkSearchDir(SearchDir::SD3, x, g, g, g, eig, lambda, beta, nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(state.error, 3);
  EXPECT_LT(products, 500);
}

TEST_F(Directions, FixedStepTakesTheLastFiniteTrial) {
  opts.alpha = 1.0;
  struct Case {
    double first, second;
    SearchDir chosen;
    const char* tries;
  };
  const std::vector<Case> cases = {
      {3.0, kInf, SearchDir::SD0, "Try 1*SD0: 3\n"},
      {3.0, -kInf, SearchDir::SD0, "Try 1*SD0: 3\n"},
      {kNaN, 2.0, SearchDir::SD1, "Try 1*SD1: 2\n"},
      {3.0, 2.5, SearchDir::SD1, "Try 1*SD0: 3\nTry 1*SD1: 2.5\n"},
      {kInf, kNaN, SearchDir::SD4, ""},  // nothing admissible: the previous kind stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tries);
    values = {{1.0, c.first}, {2.0, c.second}};
    MinimizationIterate it;
    it.x = {0.0};
    it.tried = {SearchDir::SD0, SearchDir::SD1};
    it.directions = {Vec{1.0}, Vec{2.0}};
    it.chosenKind = SearchDir::SD4;
    it.chosenDirection = {9.0};
    testing::internal::CaptureStderr();
    chooseDirection(task_, it);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.tries);
    EXPECT_EQ(it.chosenKind, c.chosen);
    EXPECT_EQ(it.alpha, 1.0);
    EXPECT_EQ(it.sign, 1);
    EXPECT_EQ(it.chosenDirection[0], c.chosen == SearchDir::SD1 ? 2.0 : c.chosen == SearchDir::SD0 ? 1.0 : 9.0);
  }
}

}  // namespace
