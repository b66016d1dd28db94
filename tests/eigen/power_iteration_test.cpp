// Power and inverse iteration called directly on operators with known
// spectra.

#include <cmath>
#include <stdexcept>
#include <string>
#include <valarray>

#include <gtest/gtest.h>

#include "eigen/power_iteration.h"
#include "linear/iteration_control.h"
#include "linear/power_steps.h"
#include "zelk/zelkcomp.h"

namespace {

using Vec = std::valarray<double>;

struct Diagonal {
  Vec d;
  Vec operator()(const Vec& x) const { return d * x; }
};

// tridiag(-1, 2, -1): eigenvalues 2 - 2 cos(k pi / (n + 1)).
struct SecondDifference {
  Vec operator()(const Vec& x) const {
    Vec y = 2.0 * x;
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
      y[i] -= x[i + 1];
      y[i + 1] -= x[i];
    }
    return y;
  }
};

IterationControl control{};

template <class Op>
SizedVectorFunction<Op> sized(const Op& op, long n, OptionMap extra) {
  return {map_union(extra, {{"dim_m", n}, {"dim_n", n}, {"control", static_cast<void*>(&control)}}),
          op};
}

struct Outcome {
  OptionMap status;
  double value = -1.0;
  Vec x;
  std::string err;
  long get(const char* key) const { return std::get<long>(status.at(key)); }
};

template <class Iteration>
Outcome run(Iteration iteration, const SizedVectorOperator& A, Vec x) {
  Outcome o;
  testing::internal::CaptureStderr();
  o.status = iteration(A, x, &o.value);
  o.err = testing::internal::GetCapturedStderr();
  o.x = x;
  return o;
}

TEST(PowerIteration, EndsOfTheSecondDifferenceSpectrum) {
  const SecondDifference T;
  const auto A = sized(T, 10, {{"tol", 1e-10}, {"maxit", 20000L}});
  const double top = 2.0 - 2.0 * std::cos(10.0 * M_PI / 11.0);
  Vec start(1.0, 10);
  start[0] = 2.0;  // not orthogonal to the top eigenvector

  const Outcome mx = run(Zelk::maxeigen, A, start);
  EXPECT_EQ(mx.get("status"), 0);
  EXPECT_NEAR(mx.value, top, 1e-9);
  EXPECT_EQ(mx.get("dim_n"), 10);  // the operator's options travel along
  EXPECT_LT(Vec(std::abs(T(mx.x) - top * mx.x)).max(), 1e-4);
  EXPECT_NE(mx.err.find("comp_linsolve:801: maxeigen: powit result me = "), std::string::npos);

  // Without "maxe" the largest eigenvalue is computed first.
  const Outcome mn = run(Zelk::mineigen, A, start);
  EXPECT_EQ(mn.get("status") & ~1L, 0);
  EXPECT_NEAR(mn.value, 2.0 - 2.0 * std::cos(M_PI / 11.0), 1e-9);
  EXPECT_NE(mn.err.find("comp_linsolve:885: zelkcomp_mineigen: computed max eigen value: "),
            std::string::npos);
}

TEST(PowerIteration, DiagonalWithClusteredEnds) {
  // Neighbours within 5% at both ends: slow, but the ends still separate.
  const Diagonal D{Vec{3.0, 1.05, 10.0, 1.0, 9.5}};
  const Vec ones(1.0, 5);
  const auto A = sized(D, 5, {{"tol", 1e-9}, {"maxit", 5000L}, {"maxe", 10.0}});
  const Outcome mx = run(Zelk::maxeigen, A, ones);
  EXPECT_EQ(mx.get("status"), 0);
  EXPECT_GT(mx.get("it"), 100);
  EXPECT_NEAR(mx.value, 10.0, 1e-12);
  EXPECT_NEAR(std::fabs(mx.x[2]), 1.0, 1e-8);

  const Outcome mn = run(Zelk::mineigen, A, ones);
  EXPECT_EQ(mn.get("status") & ~1L, 0);
  EXPECT_NEAR(mn.value, 1.0, 1e-12);
  EXPECT_NEAR(std::fabs(mn.x[3]), 1.0, 1e-8);

  // Shifted by -10 the far end dominates; the value is reported for A and
  // the first line's figure is shift + the shifted quotient.
  const auto S = sized(D, 5, {{"tol", 1e-9}, {"maxit", 5000L}, {"shift", -10.0}});
  const Outcome sh = run(Zelk::maxeigen, S, ones);
  EXPECT_NEAR(sh.value, 1.0, 1e-12);
  EXPECT_NE(sh.err.find("shift = -10 (res -19)"), std::string::npos) << sh.err;
}

TEST(PowerIteration, LimitsStopRequestsAndDegenerateStarts) {
  const Diagonal D{Vec{1.0, 2.0, 5.0}};
  const Vec ones(1.0, 3);
  // No step: the quotient of the normalised start is still reported, and
  // flagged, as it is no eigenvalue (its residual for A is not small).
  constexpr long kMiss = ZELKCOMP_STATUS_CHECK_FAILED;
  const auto A = sized(D, 3, {{"maxit", 0L}, {"maxe", 5.0}});
  Outcome o = run(Zelk::maxeigen, A, ones);
  EXPECT_EQ(o.get("status"), kMiss);
  EXPECT_EQ(o.get("it"), 0);
  EXPECT_NEAR(o.value, 8.0 / 3.0, 1e-15);
  o = run(Zelk::mineigen, A, ones);
  EXPECT_EQ(o.get("status"), 4);  // flagged as limited already
  EXPECT_NEAR(o.value, 8.0 / 3.0, 1e-15);
  // A start of the wrong length is refused, not read past its end.
  auto threeOut = [](const Vec&) { return Vec(1.0, 3); };
  Vec shortStart(1.0, 2);
  EXPECT_THROW(Zelk::maxeigen(sized(threeOut, 3, {{"maxit", 0L}}), shortStart, nullptr),
               std::invalid_argument);

  // A zero start has no direction: a non-finite quotient, status 8.
  const auto B = sized(D, 3, {{"tol", 1e-10}, {"maxe", 5.0}});
  EXPECT_EQ(run(Zelk::maxeigen, B, Vec(0.0, 3)).get("status"), 8);

  // A stop request ends the power iteration with the caller's status; the
  // inverse iteration heeds only failed callbacks.
  control.state = 4;
  control.value = 77.0;
  EXPECT_EQ(run(Zelk::maxeigen, B, ones).get("status"), 77);
  o = run(Zelk::mineigen, B, ones);
  control = IterationControl{};
  EXPECT_EQ(o.get("status") & ~1L, 0);
  EXPECT_NEAR(o.value, 1.0, 1e-12);

  const EigenPair pair = maxEigenPair(A, 3, Vec(), 1e-12, 1000);
  EXPECT_NEAR(pair.eigenvalue, 5.0, 1e-10);
  EXPECT_NEAR(std::fabs(pair.vector[2]), 1.0, 1e-6);
}

}  // namespace
