#include <fenv.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/thread_pool.h"
#include "support/fp_traps.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // no item of these tests may take this long

// The item's result (or its exception), waited for at most kBound.
int resultOf(std::future<int> result) {
  return result.wait_for(kBound) == std::future_status::ready ? result.get() : -99;
}

// An item that reports the thread it runs on and then waits for its gate.
struct Gate {
  std::promise<std::thread::id> ran;
  std::promise<void> open;
  std::thread::id thread() {  // once the item runs (bounded)
    auto f = ran.get_future();
    return f.wait_for(kBound) == std::future_status::ready ? f.get() : std::thread::id();
  }
};

int runGated(Gate* gate, long result) {
  gate->ran.set_value(std::this_thread::get_id());
  gate->open.get_future().wait_for(kBound);
  return static_cast<int>(result);
}

TEST(ThreadPoolThreaded, SixthStartWaitsAndLandsOnTheFreedWorker) {
  ThreadPool pool(5);
  std::vector<Gate> gates(6);
  std::vector<std::future<int>> results;
  std::vector<std::thread::id> threads;
  for (long i = 0; i < 5; ++i) {
    results.push_back(pool.start(runGated, &gates[i], i));
    threads.push_back(gates[i].thread());
  }
  EXPECT_FALSE(pool.tryStart(runGated, &gates[5], 5L).has_value());
  auto sixth = std::async(std::launch::async, [&] { return pool.start(runGated, &gates[5], 5L); });
  EXPECT_EQ(sixth.wait_for(50ms), std::future_status::timeout);
  gates[3].open.set_value();
  EXPECT_EQ(resultOf(std::move(results[3])), 3);
  EXPECT_EQ(gates[5].thread(), threads[3]);
  for (int i : {0, 1, 2, 4, 5}) gates[i].open.set_value();
  ASSERT_EQ(sixth.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(resultOf(sixth.get()), 5);
}

TEST(ThreadPoolThreaded, ThrowingItemLeavesThePoolWorkingUntilAStop) {
  ThreadPool pool(1);
  EXPECT_THROW(resultOf(pool.start([](long) -> int { throw std::runtime_error("failed"); }, 0L)),
               std::runtime_error);
  EXPECT_EQ(resultOf(pool.start([](long v) { return static_cast<int>(v); }, 7L)), 7);
  pool.stopSource.request_stop();  // a start then gives up
  EXPECT_THROW(resultOf(pool.start([](long) { return 1; }, 0L)), std::future_error);
}

TEST(ThreadPoolThreaded, DestructionWaitsForARunningItem) {
  std::atomic<bool> finished{false};
  Gate gate;
  auto pool = std::make_unique<ThreadPool>(2);
  pool->start(
      [&finished](Gate* g) {
        g->ran.set_value(std::this_thread::get_id());
        std::this_thread::sleep_for(100ms);
        return (finished = true) ? 0 : 1;
      },
      &gate);
  gate.thread();
  pool.reset();
  EXPECT_TRUE(finished);
}

TEST(ThreadPoolThreaded, WorkersRunWithoutTraps) {
  std::unique_ptr<ThreadPool> pool;
  {
    FpTrapGuard traps;  // armed in the thread that builds the pool
    pool = std::make_unique<ThreadPool>(1);
  }
  EXPECT_EQ(resultOf(pool->start([](long) { return fegetexcept(); }, 0L)), 0);
}

}  // namespace
