// Component solves from several host threads at once: each "cg" call owns
// its control record, checker and vectors, and the process-wide inner-solve
// counters and the trace printers stay free of data races (the
// ThreadSanitizer build runs this suite).

#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "linear/linsolve_test_host.h"
#include "options/global_state.h"
#include "zelk/zelkcomp.h"

namespace {

using namespace linsolve_test;

TEST(CgThreaded, EightIndependentSolves) {
  constexpr int kThreads = 8;
  std::vector<int> rc(kThreads, -100);
  std::vector<double> error(kThreads, -1.0);
  std::vector<long> iterations(kThreads, 0);
  const long before = state.innerIterations;
  // The traces stay on standard error: a ThreadSanitizer report goes there.
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &rc, &error, &iterations] {
        // A problem of its own per thread: the SPD test matrix plus t I.
        Host h = spdHost();
        for (long i = 0; i < h.rows; ++i) h.a[static_cast<std::size_t>(i * h.cols + i)] += t;
        Vec xTrue(h.cols);
        for (std::size_t i = 0; i < xTrue.size(); ++i) xTrue[i] = 1.0 + t + 0.5 * static_cast<double>(i);
        const Vec b = h.times(xTrue);
        Vec x0(0.0, xTrue.size()), x(xTrue.size()), y(b.size());
        const char* names[] = {"tol"};
        const double values[] = {1e-12};
        IterativeResult res{};
        for (int repeat = 0; repeat < 20; ++repeat)
          rc[t] = zelkcomp_linsolve("cg", nullptr, &b[0], &x0[0], &x[0], &y[0], h.rows, h.cols,
                                    hostProduct, nullptr, nullptr, nullptr, &res, names, values, 1,
                                    &h);
        error[t] = maxAbsDiff(x, xTrue);
        iterations[t] = res.it;
      });
    }
    for (std::thread& th : threads) th.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(rc[t], 0) << t;
    EXPECT_LT(error[t], 1e-10) << t;
    EXPECT_GT(iterations[t], 0) << t;
  }
  // Every solve added its count to the shared total; none got lost.
  long added = 0;
  for (long it : iterations) added += 20 * it;
  EXPECT_EQ(state.innerIterations - before, added);
}

}  // namespace
