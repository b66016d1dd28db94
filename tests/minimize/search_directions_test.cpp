// Search directions of the minimisation driver and the choice among them,
// and its derivative evaluations (on a cubic with known gradient and
// Hessian, at a general point and at the origin), with the traps on.

#include "minimize/search_directions.h"
#include "minimize/zelk_fixtures.h"
#include "options/search_dir.h"

namespace {

using namespace zelk_test;

TEST(MaskToFlags, BitsInIncreasingOrder) {
  using L = std::vector<SearchDir>;
  EXPECT_EQ(maskToFlags<SearchDir>(0x48), (L{SearchDir::SD3, SearchDir::SD6}));
  EXPECT_TRUE(maskToFlags<SearchDir>(0).empty());
  EXPECT_EQ(maskToFlags<SearchDir>(1ul << 31), (L{static_cast<SearchDir>(1u << 31)}));
  EXPECT_EQ(sdname(static_cast<SearchDir>(1u << 31)), "unknown");
  EXPECT_TRUE(maskToFlags<SearchDir>(1ul << 32).empty());
}

// The value table of the fixed-step tests: f(x) = fixedStepValues[x_0].
std::map<double, double> fixedStepValues;
double tableValue(const double* x) { return fixedStepValues.at(x[0]); }
const Problem kTable{"table", {0.0}, {}, tableValue, nullptr, nullptr};

class Directions : public SearchTest {
 protected:
  Directions() { h_.problem = &diagonal(); }  // products of H = diag(0.1, 1)
  Vec direction(SearchDir kind, const Vec& x, const Vec& g, const Vec& gPrev, const Vec& dPrev,
                const DecomposedSymMatrix_syevd* hess = nullptr) {
    return task_.mkSearchDir(kind, x, g, gPrev, dPrev, eig, lambda, beta, hess);
  }

  void onCubic() {  // the derivative tests
    h_.problem = &cubic();
    task_.gradient = gradient;
    task_.hessianProduct = product;
  }

  Vec eig = Vec(0.0, 2);
  double lambda = 0.0, beta = kNaN;
};

TEST_F(Directions, NonlinearCGCoefficientsAndRestarts) {
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
    int iter = 3, cgreset = 0;
    Vec stored = {};  // the kept CG direction; dPrev when empty
  } const cases[] = {
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
      // Restarts: d = -g, beta 0, at iteration 0, every cgreset iterations and
      // when the kept direction has another length.
      {4, 0.0, "", dPrev, 0, "", 0.7, 0},
      {4, 0.0, "", dPrev, 0, "", 0.7, 10, 5},
      {4, 0.0, "", dPrev, 0, "", 0.7, 4, 0, Vec{1.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "cgmode " << c.cgmode << " iter " << c.iter);
    opts.cgmode = c.cgmode;
    opts.cgbetalim = c.cgbetalim;
    opts.cgbeta = c.cgbeta;
    opts.cgreset = c.cgreset;
    state.iter = c.iter;
    task_.cgDirection = c.stored.size() != 0 ? c.stored : c.dPrev;
    beta = kNaN;
    Vec d;
    std::string out;
    EXPECT_EQ(stderrOf([&] { d = direction(SearchDir::SD1, g, g, gPrev, c.dPrev); }, &out), c.err);
    EXPECT_EQ(beta, c.expected);
    for (int i : {0, 1}) EXPECT_EQ(d[i], c.expected * c.dPrev[i] - g[i]) << i;
    EXPECT_EQ(out.find(c.out), 0u) << out;
  }
}

TEST_F(Directions, LiftedAndCorrectedSpectra) {
  const DecomposedSymMatrix_syevd hess(MatrixTemplate<double>(3, 3, Vec{-3, 0, 0, 0, -1, 0, 0, 0, 2}));
  DecomposedGeneralMatrix target;
  using V = std::vector<double>;
  liftEigenvalues(task_, hess, target, "corr");
  EXPECT_EQ(asVector(target.s), (V{1e-14, 1e-16, 2.0}));
  EXPECT_EQ(task_.hessianShift, 1e-16 + 3.0);
  liftEigenvalues(task_, hess, target, "lv");
  EXPECT_EQ(asVector(target.s), (V{1e-16, 2.0 + 1e-16, 5.0 + 1e-16}));
  EXPECT_EQ(asVector(target.sign), V(3, 1.0));
}

TEST_F(Directions, MatrixFreeNewtonKindsOnProducts) {
  task_.hessianProduct = product;  // convex, one small eigenvalue: the start shift -2 lifts it below 0
  state.liftShift() = -2.0;
  const Vec x{0, 0}, g{0.1, 1.0}, zero{0, 0};
  for (SearchDir kind : {SearchDir::SD2, SearchDir::SD3}) {
    SCOPED_TRACE(sdname(kind));
    for (double di : direction(kind, x, g, g, g)) EXPECT_NEAR(di, -1.0, 1e-3);
    // A zero gradient is answered without a solve.
    const long before = h_.counts.product;
    EXPECT_EQ(direction(kind, x, zero, zero, zero)[0], 0.0);
    EXPECT_EQ(h_.counts.product, before);
  }
  EXPECT_GT(state.liftShift(), 0.0);

  // SD3 ends on a Hessian it cannot solve: its re-solves are bounded.
  h_.nanProduct = true;
  opts.enableExit = 0;
  state.liftShift() = -2.0;
  const long before = h_.counts.product;
  stderrOf([&] { direction(SearchDir::SD3, x, g, g, g); });
  EXPECT_EQ(state.error, 3);
  EXPECT_LT(h_.counts.product - before, 500);
}

TEST_F(Directions, FixedStepTakesTheLastFiniteTrial) {
  opts.alpha = 1.0;
  // f at the two trials, the kind and direction chosen, the lines written.
  using Row = std::tuple<double, double, SearchDir, double, const char*>;
  const Row rows[] = {
      {3.0, kInf, SearchDir::SD0, 1.0, "Try 1*SD0: 3\n"},
      {3.0, -kInf, SearchDir::SD0, 1.0, "Try 1*SD0: 3\n"},
      {kNaN, 2.0, SearchDir::SD1, 2.0, "Try 1*SD1: 2\n"},
      {3.0, 2.5, SearchDir::SD1, 2.0, "Try 1*SD0: 3\nTry 1*SD1: 2.5\n"},
      {kInf, kNaN, SearchDir::SD4, 9.0, ""},  // nothing admissible: the previous kind stays
  };
  h_.problem = &kTable;
  for (const auto& [first, second, chosen, direction, tries] : rows) {
    SCOPED_TRACE(tries);
    fixedStepValues = {{1.0, first}, {2.0, second}};
    MinimizationIterate it;
    it.x = {0.0};
    it.g = {0.0};  // a line search would find no slope to go down
    it.tried = {SearchDir::SD0, SearchDir::SD1};
    it.directions = {Vec{1.0}, Vec{2.0}};
    it.chosenKind = SearchDir::SD4;
    it.chosenDirection = {9.0};
    EXPECT_EQ(stderrOf([&] { chooseDirection(task_, it); }), tries);
    EXPECT_EQ(it.chosenKind, chosen);
    EXPECT_EQ(it.alpha, 1.0);
    EXPECT_EQ(it.chosenDirection[0], direction);
  }
}

TEST_F(Directions, LineSearchModeTakesTheLowestAcceptedKindTheEarlierOnATie) {
  // On the quadratic from its start: -g and the Newton step c - x, which
  // the search lands on the minimiser with. Equal directions reach equal
  // values.
  h_.problem = &quadratic();
  opts.alpha = 0.0;
  const Vec x(quadratic().start.data(), 3), c(quadratic().solution.data(), 3);
  Vec g(3);
  quadratic().gradient(&x[0], &g[0]);
  const Vec steepest = -g, newton = c - x;
  using Row = std::tuple<std::vector<Vec>, SearchDir>;
  const Row rows[] = {
      {{steepest, steepest}, SearchDir::SD0},
      {{newton, newton}, SearchDir::SD0},
      {{steepest, newton}, SearchDir::SD1},
      {{newton, steepest}, SearchDir::SD0},
  };
  for (const auto& [directions, chosen] : rows) {
    MinimizationIterate it;
    it.x = x;
    it.f = quadratic().value(&x[0]);
    it.g = g;
    it.alphaInit = 1.0;
    it.tried = {SearchDir::SD0, SearchDir::SD1};
    it.directions = directions;
    chooseDirection(task_, it);
    EXPECT_EQ(it.chosenKind, chosen);
    EXPECT_EQ(it.results.size(), 2u);
    EXPECT_EQ(asVector(it.chosenDirection), asVector(directions[chosen == SearchDir::SD0 ? 0 : 1]));
  }
}

TEST_F(Directions, DerivativeDifferencesMatchTheCubicWithinTheirOwnErrorAlsoAtTheOrigin) {
  // The checks rely on each difference being within its error bound
  // (rounding, plus the truncation seen from a wider step), and on the
  // bound being small enough to see a wrong derivative.
  onCubic();
  struct Case {
    Vec x;
    double gradientTol, hessianTol;
  } const cases[] = {{{0.7, -1.3, 2.1}, 2e-6, 0.1}, {{0, 0, 0}, 1e-7, 1e-4}};
  const auto expectWithin = [](const Vec& fd, const Vec& error, const Vec& exact, double tol) {
    for (std::size_t i = 0; i < exact.size(); ++i) {
      EXPECT_LE(std::fabs(fd[i] - exact[i]), error[i]) << i;
      EXPECT_LT(error[i], tol) << i;
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x[0]);
    Vec g(3);
    MatrixTemplate<double> H(3, 3);
    cubicGradient(&c.x[0], &g[0]);
    cubicHessian(&c.x[0], H.data());

    // The narrow steps, and the ladder's references past its first climb.
    DifferenceLadder gradients(kFirstDifferences,
                               [&](double widen) { return task_.fdGradientDifferences(c.x, widen); });
    gradients.climb(1.0);
    const CentralDifference& fd = gradients.reference();
    expectWithin(fd.value, fd.error, g, c.gradientTol);

    HessianDifferences second = task_.fdHessianDifferences(c.x, 1.0);
    DifferenceLadder hessians(kSecondDifferences, [&](double widen) {
      const HessianDifferences d = task_.fdHessianDifferences(c.x, widen);
      return CentralDifference{d.value.elements, d.error.elements};
    });
    hessians.climb(1.0);
    const CentralDifference& Hd = hessians.reference();
    expectWithin(Hd.value, Hd.error, H.elements, c.hessianTol);

    h_.counts.objective = 0;
    Vec gOut;
    const MatrixTemplate<double> Hfd = task_.fdHessian(c.x, gOut, nullptr);
    EXPECT_EQ(h_.counts.objective, 1 + 2 * 3 + 3 * 2);
    EXPECT_EQ(asVector(gOut), asVector(g));
    EXPECT_EQ(asVector(Hfd.elements), asVector(second.value.elements));

    const Vec v{0.3, -0.2, 0.9}, hv = task_.fdHessianProductExactGradient(c.x, v, gOut, nullptr);
    EXPECT_LT(Vec(std::abs(hv - matrixVectorProduct(H, v))).max(), 1e-6);
  }
  EXPECT_EQ(state.nFdGrad, 6);
  EXPECT_EQ(state.nFdHess, 10);
  EXPECT_EQ(state.nFdHv, 2);
}

TEST_F(Directions, HessianProductsAreBlocksAndChecked) {
  onCubic();
  const Vec x{0.7, -1.3, 2.1};
  const MatrixTemplate<double> V(3, 2, Vec{1, 0, 0, 1, 0, 0});
  Vec w;
  const MatrixTemplate<double> W = task_.hessveceval(x, V, w);
  ASSERT_EQ(W.cols, 2u);
  EXPECT_EQ(w.size(), 3u);
  MatrixTemplate<double> H(3, 3);
  cubicHessian(&x[0], H.data());
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
