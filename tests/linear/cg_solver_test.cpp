#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <valarray>
#include <vector>

#include <gtest/gtest.h>

#include "linear/algo_status.h"
#include "linear/cg_direction.h"
#include "linear/cg_pre_solver.h"
#include "linear/cg_solver.h"
#include "linear/external_vector_function.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "support/fp_traps.h"

namespace {

using Vec = std::valarray<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// y = T x for the second-difference matrix tridiag(-1, 2, -1).
Vec secondDifference(const Vec& x) {
  const std::size_t n = x.size();
  Vec y(n);
  for (std::size_t i = 0; i < n; ++i)
    y[i] = 2.0 * x[i] - (i > 0 ? x[i - 1] : 0.0) - (i + 1 < n ? x[i + 1] : 0.0);
  return y;
}

// y = diag(1, 2, ..., n) x.
Vec diagonal(const Vec& x) {
  Vec y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = (i + 1.0) * x[i];
  return y;
}

Vec ramp(std::size_t n) {
  Vec x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.3 * i) + 0.01 * i;
  return x;
}

double maxAbsDiff(const Vec& a, const Vec& b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

// Saves and restores the run-state fields the solves write.
class CGSolverTest : public ::testing::Test {
 protected:
  void TearDown() override {
    state.innerIterations = savedIterations_;
    state.innerResidual = savedResidual_;
    opts.cgbeta = savedBeta_;
  }
  std::int32_t savedIterations_ = state.innerIterations;
  double savedResidual_ = state.innerResidual;
  double savedBeta_ = opts.cgbeta;
};

TEST_F(CGSolverTest, SolvesSpdSystemsWithEveryDirectionFormula) {
  const std::size_t n = 50;
  const Vec xs = ramp(n);
  auto T = [](const Vec& x) { return secondDifference(x); };
  const Vec b = T(xs);
  for (std::int64_t mode : {1, 2, 3, 4, 5}) {
    CGSolver cg("CGSolver", n, 1e-12, 1e-120, 1e14, 1000, T, mode, 0, 0);
    const Vec x = cg.solve(b, Vec(0.0, n), nullptr, nullptr);
    EXPECT_EQ(cg.flags, 0) << mode;
    EXPECT_LT(cg.residual, 1e-12) << mode;
    EXPECT_LE(cg.it, 60) << mode;  // about n steps in exact arithmetic
    EXPECT_LT(maxAbsDiff(x, xs), 1e-8) << mode;
    EXPECT_EQ(state.innerResidual, cg.residual);
  }

  // Steepest descent (any other mode) and the fixed beta converge on a
  // well-conditioned system.
  const std::size_t m = 10;
  auto D = [](const Vec& x) { return diagonal(x); };
  const Vec xd = ramp(m), bd = D(xd);
  for (std::int64_t mode : {7, -1, 0}) {
    opts.cgbeta = mode == 0 ? 0.3 : opts.cgbeta;
    CGSolver cg("CGSolver", m, 1e-10, 1e-120, 1e14, 5000, D, mode, 0, 0);
    const Vec x = cg.solve(bd, Vec(0.0, m), nullptr, nullptr);
    EXPECT_EQ(cg.flags, 0) << mode;
    EXPECT_LT(cg.residual, 1e-10) << mode;
    EXPECT_GT(cg.it, 10) << mode;
    EXPECT_LT(maxAbsDiff(x, xd), 1e-8) << mode;
  }
}

TEST_F(CGSolverTest, StartAndLimitEdgeCases) {
  auto D = [](const Vec& x) { return diagonal(x); };
  const Vec xd{1.0, -2.0, 3.0}, bd = D(xd);

  // An exact start breaks down at once and keeps x0.
  CGSolver exact("CGSolver", 3, 1e-10, 1e-120, 1e14, 100, D, 4, 0, 0);
  Vec x = exact.solve(bd, xd, nullptr, nullptr);
  EXPECT_EQ(exact.flags, 1);
  EXPECT_EQ(exact.it, 0);
  EXPECT_EQ(exact.residual, 0.0);
  EXPECT_EQ(x[1], -2.0);

  // 2 x = 4: one step lands exactly on 2 and the absolute floor stops.
  auto twice = [](const Vec& v) { return Vec(2.0 * v); };
  CGSolver one("CGSolver", 1, 1e-10, 1e-120, 1e14, 100, twice, 4, 0, 0);
  x = one.solve(Vec{4.0}, Vec{0.0}, nullptr, nullptr);
  EXPECT_EQ(x[0], 2.0);
  EXPECT_EQ(one.flags, 0);
  EXPECT_EQ(one.it, 0);
  EXPECT_EQ(one.residual, 0.0);

  // No iterations allowed: x0 back, the inner count unchanged.
  state.innerIterations = 5;
  CGSolver none("CGSolver", 3, 1e-10, 1e-120, 1e14, 0, D, 4, 0, 0);
  x = none.solve(bd, Vec{0.5, 0.5, 0.5}, nullptr, nullptr);
  EXPECT_EQ(x[0], 0.5);
  EXPECT_EQ(none.it, 0);
  EXPECT_EQ(none.flags, 0);
  EXPECT_EQ(none.residual, 0.0);
  EXPECT_EQ(state.innerIterations, 5);

  // b = 0 is solved by x = 0 at once, converged, without dividing by ||b||
  // (under traps too).
  const FpTrapGuard traps;
  CGSolver zero("CGSolver", 3, 1e-10, 1e-120, 1e14, 100, D, 4, 0, 0);
  x = zero.solve(Vec(0.0, 3), Vec{1.0, 1.0, 1.0}, nullptr, nullptr);
  EXPECT_EQ(std::abs(x).max(), 0.0);
  EXPECT_EQ(zero.flags, 0);
  EXPECT_EQ(zero.residual, 0.0);
  EXPECT_EQ(zero.it, 0);
  EXPECT_EQ(zero.badStarts, 0);

  // ||b - A x0|| = 150 ||b||: one rescaled retry, then never again.
  auto identity = [](const Vec& v) { return v; };
  CGSolver far("CGSolver", 2, 1e-10, 1e-120, 1e14, 100, identity, 4, 0, 0);
  const Vec b{1.0, 0.0}, x0{1.0, 150.0};
  x = far.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(far.badStarts, 1);
  EXPECT_EQ(far.flags, 0);
  EXPECT_LT(maxAbsDiff(x, b), 1e-15);
  far.flags = 0x1;
  far.it = 77;
  x = far.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(far.badStarts, 2);
  EXPECT_EQ(far.flags, 0x21);
  EXPECT_EQ(far.it, 77);
  EXPECT_EQ(x[1], 150.0);

  // Mismatched lengths are refused rather than read past.
  auto shrink = [](const Vec& v) { return Vec(v[std::slice(0, v.size() - 1, 1)]); };
  CGSolver bad("CGSolver", 3, 1e-10, 1e-120, 1e14, 10, shrink, 4, 0, 0);
  EXPECT_THROW(bad.solve(bd, Vec(0.0, 3), nullptr, nullptr), std::invalid_argument);
  EXPECT_THROW(exact.solve(Vec(1.0, 2), Vec(0.0, 3), nullptr, nullptr), std::invalid_argument);
}

TEST_F(CGSolverTest, RestartAndRecomputationPeriods) {
  const std::size_t n = 10;
  int calls = 0;
  auto D = [&calls](const Vec& x) {
    ++calls;
    return diagonal(x);
  };
  const Vec b(1.0, n), x0(0.0, n);
  auto run = [&](std::int64_t rec, std::int64_t reset) {
    calls = 0;
    CGSolver cg("CGSolver", n, 1e-13, 1e-120, 1e14, 10, D, 1, rec, reset);
    const Vec x = cg.solve(b, x0, nullptr, nullptr);
    return std::make_tuple(x, cg.it, cg.flags, calls);
  };

  // Plain CG: converged within n steps, one product per step plus the start.
  const auto [xp, itp, flp, callsp] = run(0, 0);
  EXPECT_EQ(flp, 0);
  EXPECT_LT(itp, 10);
  EXPECT_EQ(callsp, itp + 2);

  // Periods longer than the solve change nothing, bit for bit.
  const auto [xl, itl, fll, callsl] = run(1000, 1000);
  EXPECT_EQ(itl, itp);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(xl[i], xp[i]);

  // cgrec = 1: from iteration 1 on each step recomputes b - A x (a second
  // product) and restarts, which loses the n-step convergence.
  const auto [xr, itr, flr, callsr] = run(1, 0);
  EXPECT_EQ(itr, 10);
  EXPECT_EQ(callsr, 1 + 10 + 9);

  // Restarts every 2 steps also lose it; one product per step as usual.
  const auto [xs, its, fls, callss] = run(0, 2);
  EXPECT_EQ(its, 10);
  EXPECT_EQ(callss, 1 + 10);
}

TEST_F(CGSolverTest, StopTestsAndRunState) {
  auto D = [](const Vec& x) { return diagonal(x); };
  const Vec b(1.0, 5), x0(0.0, 5);

  CGSolver div("CGSolver", 5, 1e-12, 1e-120, 1e-300, 100, D, 4, 0, 0);
  div.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(div.flags, 0x10);
  EXPECT_EQ(div.it, 0);

  CGSolver floor("CGSolver", 5, 1e-12, 1e300, 1e14, 100, D, 4, 0, 0);
  floor.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(floor.flags, 0);
  EXPECT_EQ(floor.it, 0);

  CGSolver limit("CGSolver", 5, 1e-30, 1e-300, 1e14, 3, 20, D, 4, 0, 0);
  EXPECT_EQ(limit.count, 20);
  EXPECT_STREQ(limit.name, "CGSolver");
  state.innerIterations = INT32_MAX - 1;
  limit.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(limit.flags, 0);
  EXPECT_EQ(limit.it, 3);
  // The running total saturates instead of wrapping.
  EXPECT_EQ(state.innerIterations, INT32_MAX);
  state.innerIterations = -1;
  limit.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(state.innerIterations, 2);
  EXPECT_EQ(state.innerResidual, limit.residual);

  // The class-operator instance, through the base interface.
  struct Diag : VectorOperator {
    Vec operator()(const Vec& x) const override { return diagonal(x); }
  } diag;
  const VectorOperator& base = diag;
  CGSolver<VectorOperator> virt("CGSolver", 5, 1e-12, 1e-120, 1e14, 100, base, 4, 0, 0);
  const Vec x = virt.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(virt.flags, 0);
  EXPECT_NEAR(x[4], 0.2, 1e-12);
}

TEST_F(CGSolverTest, StopRequestsFromControlAndChecker) {
  auto D = [](const Vec& x) { return diagonal(x); };
  const Vec b(1.0, 6), x0(0.0, 6);

  // A record already asking to stop: no step is taken.
  IterationControl stopped;
  stopped.state = 5;
  CGSolver cg("CGSolver", 6, 1e-12, 1e-120, 1e14, 100, D, 4, 0, 0);
  Vec x = cg.solve(b, x0, &stopped, nullptr);
  EXPECT_EQ(cg.flags, 0x25);
  EXPECT_EQ(cg.it, 0);
  EXPECT_EQ(x[0], 0.0);

  // The bad-start retry still honours the record.
  CGSolver far("CGSolver", 6, 1e-12, 1e-120, 1e14, 100, D, 4, 0, 0);
  x = far.solve(b, Vec(500.0, 6), &stopped, nullptr);
  EXPECT_EQ(far.badStarts, 1);
  EXPECT_EQ(far.flags, 0x25);

  // A checker finding ends the solve in the same iteration with 0x22.
  SolverHistoryChecker slow(SizedOperator(OptionMap{{"slowtol", 10.0}}));
  IterationControl control;
  CGSolver watched("CGSolver", 6, 1e-12, 1e-120, 1e14, 100, D, 4, 0, 0);
  testing::internal::CaptureStderr();
  watched.solve(b, x0, &control, &slow);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Slow convergence detected\n");
  EXPECT_EQ(watched.flags, 0x22);
  EXPECT_EQ(watched.it, 0);
  EXPECT_EQ(slow.count, 1);
  EXPECT_EQ(control.reason, 128);

  // The checker also sees the retried solve after a bad start.
  SolverHistoryChecker seen(SizedOperator(OptionMap{{"cycletol", 0.0}, {"slowtol", -1.0}}));
  IterationControl quiet;
  CGSolver retried("CGSolver", 6, 1e-12, 1e-120, 1e14, 100, D, 4, 0, 0);
  retried.solve(b, Vec(500.0, 6), &quiet, &seen);
  EXPECT_EQ(retried.flags, 0);
  EXPECT_EQ(seen.count, retried.it + 1);
}

TEST_F(CGSolverTest, NaNResidualEndsTheSolve) {
  int calls = 0;
  auto poisoned = [&calls](const Vec& x) {
    Vec y = secondDifference(x);
    if (++calls >= 4) y[0] = kNaN;
    return y;
  };
  const Vec b = secondDifference(ramp(20)), x0(0.0, 20);

  // Without a checker the NaN test ends it; the residual carries the NaN.
  CGSolver plain("CGSolver", 20, 1e-12, 1e-120, 1e14, 100, poisoned, 4, 0, 0);
  plain.solve(b, x0, nullptr, nullptr);
  EXPECT_EQ(plain.flags, 0);
  EXPECT_EQ(plain.it, 2);
  EXPECT_TRUE(std::isnan(plain.residual));
  AlgoStatus st(OptionMap{{"tol", 1e-12}, {"maxit", 100L}, {"status", plain.flags},
                          {"residual", plain.residual}, {"it", plain.it}},
                {});
  EXPECT_EQ(st.code(), 1 | 16);

  // With a checker and a record the finding stops it with 0x22.
  calls = 0;
  SolverHistoryChecker checker(SizedOperator{});
  IterationControl control;
  CGSolver watched("CGSolver", 20, 1e-12, 1e-120, 1e14, 100, poisoned, 4, 0, 0);
  testing::internal::CaptureStderr();
  watched.solve(b, x0, &control, &checker);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "NaN detected\n");
  EXPECT_EQ(watched.flags, 0x22);
  EXPECT_EQ(watched.it, 2);
  EXPECT_EQ(control.reason, 8);
}

// A host callback: the second-difference product that fails (returns 9) from
// call `failAt` on.
struct FailingHost {
  int calls = 0;
  int failAt = 0;
};

int secondDifferenceCallback(const double* x, long n, double* y, long m, void* context) {
  auto* host = static_cast<FailingHost*>(context);
  if (++host->calls >= host->failAt && host->failAt > 0) return 9;
  const Vec v(x, static_cast<std::size_t>(n));
  const Vec r = secondDifference(v);
  for (long i = 0; i < m; ++i) y[i] = r[i];
  return 0;
}

TEST_F(CGSolverTest, FailingHostCallbackStopsThePollingSolve) {
  const long n = 30;
  FailingHost host;
  IterationControl control;
  const ExternalVectorCallback cb = secondDifferenceCallback;
  ExternalVectorFunction A(cb, OptionMap{{"dim_m", n}, {"dim_n", n}, {"context", &host},
                                         {"control", static_cast<void*>(&control)}});
  const Vec xs = ramp(n), b = secondDifference(xs);

  // A healthy solve through the callback: every call counted.
  CGSolver<SizedVectorOperator> cg("CGSolver", n, 1e-12, 1e-120, 1e14, 1000, A, 4, 0, 0);
  Vec x = cg.solve(b, Vec(0.0, n), &control, nullptr);
  EXPECT_EQ(cg.flags, 0);
  EXPECT_LT(maxAbsDiff(x, xs), 1e-8);
  EXPECT_EQ(control.calls, host.calls);
  EXPECT_EQ(control.calls, cg.it + 2);

  // The fifth call fails (iteration 3's product): the solve stops right
  // after it, with the callback's code in the record.
  host = FailingHost{0, 5};
  control = IterationControl{};
  testing::internal::CaptureStderr();
  cg.solve(b, Vec(0.0, n), &control, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "eig:920: Function callback returned non-zero status code: 9\n");
  EXPECT_EQ(cg.flags, 0x22);
  EXPECT_EQ(cg.it, 3);
  EXPECT_EQ(control.state, 2);
  EXPECT_EQ(control.value, 9.0);
  EXPECT_EQ(control.calls, 6);  // 5 calls, the failed one counted twice
}

TEST(CGDirection, EachModeHasItsOwnFormula) {
  // Vectors without CG's identities (p.r' = 0, p.r = r.z), where no two
  // formulas coincide.
  const Vec p{1.0, -2.0, 0.5}, r{0.3, 1.1, -0.7}, z{0.2, 0.9, -0.4}, rn{-0.5, 0.4, 0.8},
      zn{-0.3, 0.6, 0.5};
  auto dot = [](const Vec& a, const Vec& b) { return (a * b).sum(); };
  const double rz = dot(r, z);
  const Vec y = rn - r;
  const double want[] = {0.25,
                         dot(rn, zn) / rz,
                         dot(y, zn) / rz,
                         -dot(rn, Vec(zn - z)) / dot(p, y),
                         -dot(rn, zn) / dot(p, y),
                         dot(rn, Vec(zn - z)) / rz};
  for (int mode = 0; mode < 6; ++mode) {
    const std::optional<double> beta = cgDirectionBeta(mode, 0.25, p, r, z, rn, zn, rz);
    ASSERT_TRUE(beta.has_value()) << mode;
    EXPECT_NEAR(*beta, want[mode], 1e-15) << mode;
    for (int other = 0; other < mode; ++other) EXPECT_GT(std::fabs(want[mode] - want[other]), 1e-3);
  }
  EXPECT_FALSE(cgDirectionBeta(6, 0.25, p, r, z, rn, zn, rz).has_value());
  EXPECT_FALSE(cgDirectionBeta(-1, 0.25, p, r, z, rn, zn, rz).has_value());
}

// x after three CG steps from x0 on A, z = P(r), beta by the formula of
// `mode` (fixed 0.3 for mode 0, steepest descent beyond 5), computed by
// hand. The first update cannot tell the formulas apart (r1 . p0 = 0 makes
// every one Fletcher-Reeves), the third iterate can.
template <class Op, class P>
Vec thirdIterate(const Op& A, const P& prec, const Vec& b, const Vec& x0, int mode) {
  auto dot = [](const Vec& a, const Vec& c) { return (a * c).sum(); };
  Vec x = x0, r = b - A(x0), z = prec(r), p = z;
  for (int k = 0; k < 3; ++k) {
    const Vec q = A(p);
    const double alpha = dot(r, z) / dot(p, q);
    x = x + alpha * p;
    const Vec rn = r - alpha * q, zn = prec(rn), y = rn - r, dz = zn - z;
    const double betas[] = {0.3,
                            dot(rn, zn) / dot(r, z),
                            dot(y, zn) / dot(r, z),
                            -dot(rn, dz) / dot(p, y),
                            -dot(rn, zn) / dot(p, y),
                            dot(rn, dz) / dot(r, z)};
    p = (mode >= 0 && mode <= 5 ? betas[mode] : 0.0) * p + zn;
    r = rn;
    z = zn;
  }
  return x;
}

TEST_F(CGSolverTest, DirectionFormulasShapeTheThirdIterate) {
  // On the non-symmetric M = [[4, 1, 0], [2, 3, 1], [0, 1, 5]] the formulas
  // give different coefficients (on an SPD system they coincide). With CG's
  // line search Dai-Yuan equals Fletcher-Reeves and mode 5 Hestenes-Stiefel
  // in exact arithmetic, and for plain CG (z = r) Hestenes-Stiefel equals
  // Polak-Ribiere, so the families that must differ are: fixed beta,
  // Fletcher-Reeves, Polak-Ribiere, steepest descent, and with the
  // non-symmetric preconditioner Hestenes-Stiefel besides.
  auto M = [](const Vec& x) {
    return Vec{4 * x[0] + x[1], 2 * x[0] + 3 * x[1] + x[2], x[1] + 5 * x[2]};
  };
  auto identity = [](const Vec& r) { return r; };
  auto skewed = [](const Vec& r) { return Vec{r[0] / 4 + r[1] / 8, r[1] / 3, r[2] / 5}; };
  const Vec b{1.0, -2.0, 3.0}, x0{0.5, 0.0, -0.5};
  opts.cgbeta = 0.3;
  std::vector<Vec> plain, preconditioned;
  for (int mode : {0, 1, 2, 3, 4, 5, 7}) {
    CGSolver cg("CGSolver", 3, 1e-300, 0.0, 1e14, 3, M, mode, 0, 0);
    CGPreSolver pre(M, skewed, 3, 1e-300, 0.0, 1e14, 3, mode, 0, 0);
    const Vec x = cg.solve(b, x0, nullptr, nullptr), xp = pre.solve(b, x0, nullptr);
    EXPECT_LT(maxAbsDiff(x, thirdIterate(M, identity, b, x0, mode)), 1e-13) << mode;
    EXPECT_LT(maxAbsDiff(xp, thirdIterate(M, skewed, b, x0, mode)), 1e-13) << mode;
    if (mode == 0 || mode == 1 || mode == 2 || mode == 7) plain.push_back(x);
    if (mode != 4 && mode != 5) preconditioned.push_back(xp);
  }
  for (const std::vector<Vec>* families : {&plain, &preconditioned})
    for (std::size_t i = 0; i < families->size(); ++i)
      for (std::size_t j = 0; j < i; ++j)
        EXPECT_GT(std::abs((*families)[i] - (*families)[j]).max(), 1e-3) << i << " " << j;
}

}  // namespace
