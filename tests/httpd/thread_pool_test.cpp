#include <fenv.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/thread_pool.h"
#include "support/fp_traps.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // no item of these tests may take this long

// An item that reports the thread it runs on and then waits for its gate.
struct Gate {
  std::promise<std::thread::id> ran;
  std::promise<void> open;
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
    auto ran = gates[i].ran.get_future();
    ASSERT_EQ(ran.wait_for(kBound), std::future_status::ready);
    threads.push_back(ran.get());
  }
  EXPECT_FALSE(pool.tryStart(runGated, &gates[5], 5L).has_value());

  std::atomic<bool> handedOver{false};
  std::future<int> sixth;
  std::thread starter([&] {
    sixth = pool.start(runGated, &gates[5], 5L);
    handedOver = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(handedOver);
  gates[3].open.set_value();
  ASSERT_EQ(results[3].wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(results[3].get(), 3);
  starter.join();
  auto ran = gates[5].ran.get_future();
  ASSERT_EQ(ran.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(ran.get(), threads[3]);

  for (int i : {0, 1, 2, 4, 5}) gates[i].open.set_value();
  EXPECT_EQ(sixth.get(), 5);
}

TEST(ThreadPoolThreaded, ThrowingItemLeavesThePoolWorking) {
  ThreadPool pool(1);
  auto failed = pool.start([](long) -> int { throw std::runtime_error("item failed"); }, 0L);
  ASSERT_EQ(failed.wait_for(kBound), std::future_status::ready);
  EXPECT_THROW(failed.get(), std::runtime_error);
  auto next = pool.start([](long v) { return static_cast<int>(v); }, 7L);
  ASSERT_EQ(next.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(next.get(), 7);
}

TEST(ThreadPoolThreaded, DestructionWaitsForARunningItem) {
  std::atomic<bool> finished{false};
  Gate gate;
  auto pool = std::make_unique<ThreadPool>(2);
  pool->start(
      [&finished](Gate* g) {
        g->ran.set_value(std::this_thread::get_id());
        std::this_thread::sleep_for(100ms);
        finished = true;
        return 0;
      },
      &gate);
  ASSERT_EQ(gate.ran.get_future().wait_for(kBound), std::future_status::ready);
  pool.reset();
  EXPECT_TRUE(finished);
}

TEST(ThreadPoolThreaded, WorkersAreNamedAndRunWithoutTraps) {
  std::unique_ptr<ThreadPool> pool;
  {
    FpTrapGuard traps;  // armed in the thread that builds the pool
    pool = std::make_unique<ThreadPool>(1);
  }
  auto traps = pool->start([](long) { return fegetexcept(); }, 0L);
  auto named = pool->start(
      [](long) {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        return std::string(name) == "KVARN Threadpoo" ? 1 : 0;
      },
      0L);
  EXPECT_EQ(traps.get(), 0);
  EXPECT_EQ(named.get(), 1);
}

TEST(ThreadPoolThreaded, StopRequestedStartGivesUp) {
  ThreadPool pool(1);
  pool.stopSource.request_stop();
  EXPECT_THROW(pool.start([](long) { return 1; }, 0L).get(), std::future_error);
}

}  // namespace
