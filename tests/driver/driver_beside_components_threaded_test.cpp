// A driver run beside component calls on other threads. The driver owns the
// process-wide option block and run state for its length: solver calls made
// on other threads meanwhile are refused (ZELKCOMP_ERR_BUSY), those made from
// its own callbacks run, and both kinds run again once it has returned. The
// trace word's setopt and getopt answer at any time. The
// ThreadSanitizer build runs this suite; its traces stay on standard error,
// where a report would go.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "linear/linsolve_test_host.h"
#include "options/option_map.h"
#include "support/known_problems.h"
#include "support/scratch_dir.h"
#include "zelk/zelkcomp.h"

namespace {

using Clock = std::chrono::steady_clock;
using linsolve_test::Host;
using linsolve_test::Vec;

// x solves A x = b, A the SPD test matrix: the answer of a "cg" call.
Vec spdRightHandSide(const Host& h) { return h.times(Vec(1.0, static_cast<std::size_t>(h.cols))); }

// One "cg" solve of the SPD test system; 0 with x = 1 when it ran.
int cgSolve(Vec& x) {
  Host h = linsolve_test::spdHost();
  const Vec b = spdRightHandSide(h);
  Vec x0(0.0, b.size()), y(b.size());
  x.resize(b.size());
  const char* names[] = {"tol"};
  const double values[] = {1e-12};
  return zelkcomp_linsolve("cg", nullptr, &b[0], &x0[0], &x[0], &y[0], h.rows, h.cols,
                           linsolve_test::hostProduct, nullptr, nullptr, nullptr, nullptr, names,
                           values, 1, &h);
}

// One "lsrn2" least-squares solve of the tall test system, whose answer is
// x = 1 (its printers write the traces that threads share).
int lsrnSolve(Vec& x) {
  Host h = linsolve_test::tallHost();
  const Vec b = h.times(Vec(1.0, static_cast<std::size_t>(h.cols)));
  Vec x0(0.0, 3), y(b.size());
  x.resize(3);
  return zelkcomp_linsolve("lsrn2", nullptr, &b[0], &x0[0], &x[0], &y[0], h.rows, h.cols,
                           linsolve_test::hostProduct, linsolve_test::hostTransposedProduct, nullptr,
                           nullptr, nullptr, nullptr, nullptr, 0, &h);
}

int lsrnAnySolve() {
  Vec x;
  return lsrnSolve(x);
}

int maxEigen() {
  Host h = linsolve_test::spdHost();
  Vec v(0.0, static_cast<std::size_t>(h.cols));
  double lambda = 0.0;
  return zelkcomp_maxeigen(nullptr, &v[0], h.rows, h.cols, &lambda, linsolve_test::hostProduct,
                           nullptr, 10000, nullptr, nullptr, nullptr, nullptr, 0, &h, 0.0, 1e-8);
}

TEST(DriverBesideComponentsThreaded, RefusedWhileADriverOwnsTheBlockAdmittedAround) {
  const ScratchDir dir;  // the run writes its state file here
  ASSERT_FALSE(dir.path().empty());
  std::atomic<bool> driverStarted{false}, driverDone{false};
  std::atomic<int> refused{0};
  std::atomic<int> traceCallsDuringRun{0};
  int nestedRc = -100;
  Vec nestedX;

  known_problems::Host h;
  h.problem = &known_problems::rosenbrock();
  h.inCallback = [&](known_problems::Host&) {
    if (driverStarted.exchange(true)) return;
    // On the driver's own thread a component call runs.
    nestedRc = cgSolve(nestedX);
    // Hold the run until another thread has been refused and the trace word
    // has been set and read during it (at most 20 s).
    const auto until = Clock::now() + std::chrono::seconds(20);
    while ((refused.load() == 0 || traceCallsDuringRun.load() == 0) && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };

  // Each component thread calls until it has been admitted once after the
  // driver returned (at most 30 s).
  const auto components = [&](int (*call)(), std::vector<int>& admittedAfter) {
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < until) {
      const bool done = driverDone.load();
      const int rc = call();
      if (rc == ZELKCOMP_ERR_BUSY) {
        ++refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      if (done) {
        admittedAfter.push_back(rc);
        return;
      }
    }
  };
  std::vector<int> lsrnAfter, eigenAfter;
  std::thread lsrnThread(components, lsrnAnySolve, std::ref(lsrnAfter));
  std::thread eigenThread(components, maxEigen, std::ref(eigenAfter));
  // The trace word set and read beside everything else, the run reading it
  // at each use: always done, with the value set (the run's own, 0).
  std::vector<int> traceAnswers;
  std::vector<double> traceSeen;
  std::thread traceThread([&] {
    while (!driverDone.load()) {
      const bool during = driverStarted.load();
      double seen = -1.0;
      traceAnswers.push_back(zelkcomp_setopt(0, 0.0));
      traceAnswers.push_back(zelkcomp_getopt(0, &seen));
      traceSeen.push_back(seen);
      if (during && !driverDone.load()) ++traceCallsDuringRun;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  known_problems::Outcome out;
  std::thread driver([&] {
    out = known_problems::run(h, {}, {{"enableExit", 0}, {"maxit", 500}});
    driverDone = true;
  });
  driver.join();
  traceThread.join();
  lsrnThread.join();
  eigenThread.join();

  EXPECT_EQ(out.status, 0);
  EXPECT_LT(known_problems::distance(out.x, {1.0, 1.0}), 1e-6);
  EXPECT_EQ(nestedRc, 0);
  EXPECT_LT(linsolve_test::maxAbsDiff(nestedX, Vec(1.0, nestedX.size())), 1e-9);
  EXPECT_GT(refused.load(), 0);
  ASSERT_EQ(lsrnAfter.size(), 1u);
  ASSERT_EQ(eigenAfter.size(), 1u);
  EXPECT_GE(lsrnAfter[0], 0);
  EXPECT_EQ(eigenAfter[0], 0);
  EXPECT_GT(traceCallsDuringRun, 0);
  for (int answer : traceAnswers) EXPECT_EQ(answer, 0);
  for (double seen : traceSeen) EXPECT_EQ(seen, 0.0);
}

// Solves on several threads at once, no driver: all run, and the traces
// they print side by side leave std::cerr's format alone.
TEST(DriverBesideComponentsThreaded, SolverTracesFromSeveralThreads) {
  constexpr int kThreads = 4;
  std::vector<double> error(kThreads, -1.0);
  std::vector<int> rc(kThreads, -100);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &rc, &error] {
      Vec x;
      for (int repeat = 0; repeat < 5; ++repeat) rc[t] = lsrnSolve(x);
      error[t] = linsolve_test::maxAbsDiff(x, Vec(1.0, 3));
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_GE(rc[t], 0) << t;
    EXPECT_LT(error[t], 1e-8) << t;
  }
}

}  // namespace
