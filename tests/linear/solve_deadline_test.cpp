// Component calls whose iterations can never meet their tolerance (a
// negative one) and whose iteration limit is out of reach end at their time
// limit "maxt", with the time-limit bit in their status word.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "zelk/zelkcomp.h"

namespace {

constexpr long kN = 4;
constexpr double kLimit = 0.5;  // seconds

// A symmetric 4 x 4 operator whose every product is perturbed a little
// differently, so that no Krylov method ever finishes exactly.
int drifting(const double* x, long n, double* y, long m, void* context) {
  long& calls = *static_cast<long*>(context);
  const double drift = 1e-6 * static_cast<double>(++calls % 7);
  for (long i = 0; i < m; ++i) {
    y[i] = (2.0 + static_cast<double>(i) + drift) * x[i];
    if (i > 0) y[i] -= x[i - 1];
    if (i + 1 < n) y[i] -= x[i + 1];
  }
  return 0;
}

struct TimedCall {
  std::string what;
  std::function<int(long& calls)> call;
};

std::vector<TimedCall> timedCalls() {
  static const char* names[] = {"maxt", "maxit", "tol"};
  static const double limitOnly[] = {kLimit};
  static const double endless[] = {kLimit, 1e15, -0.5};
  static const double b[kN] = {1, 2, 3, 4}, x0[kN] = {0, 0, 0, 0};
  static const double maxe = 6.0;
  const auto linsolve = [](const char* method) {
    return [method](long& calls) {
      double x[kN], y[kN];
      return zelkcomp_linsolve(method, nullptr, b, x0, x, y, kN, kN, drifting, drifting, nullptr,
                               nullptr, nullptr, names, endless, 3, &calls);
    };
  };
  return {
      {"maxeigen",
       [](long& calls) {
         double v[kN], lambda = 0.0;
         return zelkcomp_maxeigen(nullptr, v, kN, kN, &lambda, drifting, nullptr, LONG_MAX,
                                  nullptr, nullptr, names, limitOnly, 1, &calls, 0.0, -1.0);
       }},
      {"mineigen",
       [](long& calls) {
         double v[kN], lambda = 0.0;
         return zelkcomp_mineigen(nullptr, v, kN, kN, &lambda, &maxe, drifting, nullptr, LONG_MAX,
                                  nullptr, nullptr, names, limitOnly, 1, &calls, 0.0, -1.0);
       }},
      {"minres", linsolve("minres")},
  };
}

TEST(SolveDeadline, EndlessIterationsEndAtTheTimeLimit) {
  for (const TimedCall& c : timedCalls()) {
    long calls = 0;
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    const int rc = c.call(calls);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStderr();
    EXPECT_LT(took.count(), 2 * kLimit) << c.what;
    EXPECT_GE(took.count(), kLimit) << c.what;
    EXPECT_GT(calls, 100) << c.what;  // it did iterate up to the limit
    EXPECT_TRUE(rc >= 0 && (rc & 8)) << c.what << ": status " << rc;
  }
}

}  // namespace
