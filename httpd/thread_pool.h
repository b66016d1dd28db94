#pragma once
// A fixed set of named worker threads without a queue.
//
// `start` hands one work item straight to an idle worker and blocks until a
// worker is idle; `tryStart` hands it over only when one is idle right now
// and returns at once otherwise, for callers that must never block (the
// monitor's listener). So at most n items run at a time and none pile up.
// The item's int result, or the exception it threw, comes back through a
// std::future<int>. Workers run with every floating-point trap off, whatever
// the thread that built the pool had armed.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "httpd/fun_call.h"

class ThreadPool {
 public:
  // Worker states.
  static constexpr int kAwake = 1;  // running an item or about to look for one
  static constexpr int kIdle = 2;   // waiting for work
  static constexpr int kStopped = 3;

  struct Worker {
    std::unique_ptr<FunCallBase> item;           // handed over by start; null when none
    std::jthread thread;                         // the worker's own stop source and thread
    std::unique_ptr<std::promise<int>> promise;  // of the item's future
    std::atomic<std::uint64_t> passes{0};        // passes through the worker loop
    std::atomic<std::uint64_t> tasks{0};         // items run
    int index = 0;
    std::atomic<int> state{kAwake};
    unsigned char wake = 0;  // bit 0: an item was handed to this worker
  };

  // Starts n workers, named with the first 15 characters of `name`. Throws
  // std::system_error when a thread cannot be started (none is left running).
  explicit ThreadPool(std::size_t n);
  // shutdown().
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Runs fn(args...) on the idle worker of lowest index, waiting for one to
  // become idle. When a stop is requested on stopSource first, nothing is
  // handed over and the future reports a broken promise.
  template <class F, class... Args>
  std::future<int> start(F&& fn, Args&&... args) {
    auto [item, promise, future] = makeWork(std::forward<F>(fn), std::forward<Args>(args)...);
    handOver(item, promise, true);
    return std::move(future);
  }

  // The same without waiting: nullopt when no worker is idle at this moment
  // (or a stop was requested), and nothing runs.
  template <class F, class... Args>
  std::optional<std::future<int>> tryStart(F&& fn, Args&&... args) {
    auto [item, promise, future] = makeWork(std::forward<F>(fn), std::forward<Args>(args)...);
    if (!handOver(item, promise, false)) return std::nullopt;
    return std::move(future);
  }

  // Waits until every worker is idle (unless a stop was requested on
  // stopSource), then stops and joins them. Later calls do nothing.
  void shutdown();
  // True when no worker holds or runs an item.
  bool idle();
  // True when some worker waits for an item.
  bool anyIdle();
  // Called by each worker that becomes idle, under the pool's mutex: it must
  // be quick and must not call into the pool.
  void setIdleNotice(std::function<void()> notice);

  // The body of worker `index`.
  static int s_threadmain(std::stop_token token, void* pool, int index);

  const std::size_t workerCount;
  std::vector<Worker> workers;  // never resized while threads run
  std::stop_source stopSource;  // makes start give up and the destructor not wait
  std::mutex mutex;             // guards the maps and the hand-off fields
  std::condition_variable_any workSignal;
  std::condition_variable_any idleSignal;
  std::condition_variable_any allIdleSignal;
  std::map<int, Worker*> idleWorkers;
  std::map<int, Worker*> busyWorkers;  // every worker starts here
  std::string name = "KVARN Threadpool";

 private:
  struct Work {
    std::unique_ptr<FunCallBase> item;
    std::unique_ptr<std::promise<int>> promise;
    std::future<int> future;
  };

  template <class F, class... Args>
  static Work makeWork(F&& fn, Args&&... args) {
    Work work;
    work.item = std::make_unique<FunCall<std::decay_t<F>, std::decay_t<Args>...>>(
        std::forward<F>(fn), std::forward<Args>(args)...);
    work.promise = std::make_unique<std::promise<int>>();
    work.future = work.promise->get_future();
    return work;
  }

  // Gives item and promise to the idle worker of lowest index; with wait,
  // blocks until one is idle. False (and both kept) when none took them.
  bool handOver(std::unique_ptr<FunCallBase>& item, std::unique_ptr<std::promise<int>>& promise,
                bool wait);
  void stopAndJoin();
  bool shutDown_ = false;             // by shutdown(), on its caller's thread
  std::function<void()> idleNotice_;  // under mutex
  void runWorker(Worker& self, const std::stop_token& token);
};
