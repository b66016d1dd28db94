#include "httpd/thread_pool.h"

#include <fenv.h>
#include <pthread.h>

#include <iostream>

#include "httpd/error_text.h"
#include "httpd/log_line.h"

ThreadPool::ThreadPool(std::size_t n) : workerCount(n), workers(n) {
  const std::string threadName = name.substr(0, 15);  // the kernel's limit
  try {
    for (std::size_t i = 0; i < n; ++i) {
      Worker& w = workers[i];
      w.index = static_cast<int>(i);
      {
        std::lock_guard<std::mutex> lock(mutex);
        busyWorkers[w.index] = &w;
      }
      w.thread = std::jthread(&ThreadPool::s_threadmain, static_cast<void*>(this), w.index);
      if (const int rc = pthread_setname_np(w.thread.native_handle(), threadName.c_str()))
        std::cerr << "Error: setname: " << errorText(rc) << "\n";
    }
  } catch (...) {
    // The members the workers use go before the workers themselves would.
    stopAndJoin();
    throw;
  }
}

ThreadPool::~ThreadPool() { shutdown(); }

void ThreadPool::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (workerCount > 0) {
    std::unique_lock<std::mutex> lock(mutex);
    allIdleSignal.wait(lock, stopSource.get_token(),
                       [this] { return idleWorkers.size() == workerCount; });
  }
  stopAndJoin();
  idleWorkers.clear();
  busyWorkers.clear();
}

bool ThreadPool::idle() {
  std::lock_guard<std::mutex> lock(mutex);
  return idleWorkers.size() == workerCount;
}

void ThreadPool::setIdleNotice(std::function<void()> notice) {
  std::lock_guard<std::mutex> lock(mutex);
  idleNotice_ = std::move(notice);
}

bool ThreadPool::anyIdle() {
  std::lock_guard<std::mutex> lock(mutex);
  return !idleWorkers.empty();
}

void ThreadPool::stopAndJoin() {
  for (Worker& w : workers) w.thread.request_stop();
  for (Worker& w : workers)
    if (w.thread.joinable()) w.thread.join();
}

bool ThreadPool::handOver(std::unique_ptr<FunCallBase>& item,
                          std::unique_ptr<std::promise<int>>& promise, bool wait) {
  const std::stop_token stopping = stopSource.get_token();
  std::unique_lock<std::mutex> lock(mutex);
  if (wait) idleSignal.wait(lock, stopping, [this] { return !idleWorkers.empty(); });
  if (stopping.stop_requested() || idleWorkers.empty()) return false;
  const auto first = idleWorkers.begin();
  Worker& w = *first->second;
  w.item = std::move(item);
  w.promise = std::move(promise);
  w.wake |= 1;
  busyWorkers[first->first] = &w;
  idleWorkers.erase(first);
  // Every waiting worker wakes; only the one whose flag is set leaves.
  workSignal.notify_all();
  return true;
}

int ThreadPool::s_threadmain(std::stop_token token, void* pool, int index) {
  // Host code may run with traps armed; request handling never does.
  fedisableexcept(FE_ALL_EXCEPT);
  auto* self = static_cast<ThreadPool*>(pool);
  self->runWorker(self->workers[static_cast<std::size_t>(index)], token);
  return 0;
}

// Called inside a handler: stores the exception being handled in the item's
// future and logs it.
static void failItem(ThreadPool::Worker& self) noexcept {
  try {
    self.item.reset();
    LogLine("") << "Error: work item failed: " << currentExceptionText();
    self.promise->set_exception(std::current_exception());
  } catch (...) {
  }
}

void ThreadPool::runWorker(Worker& self, const std::stop_token& token) {
  self.state = kAwake;
  for (;;) {
    self.passes.fetch_add(1, std::memory_order_relaxed);
    if (token.stop_requested()) {
      self.state = kStopped;
      return;
    }
    if (!self.item) {
      std::unique_lock<std::mutex> lock(mutex);
      idleWorkers[self.index] = &self;
      self.state = kIdle;
      busyWorkers.erase(self.index);
      idleSignal.notify_all();
      if (idleWorkers.size() == workerCount) allIdleSignal.notify_all();
      if (idleNotice_) idleNotice_();
      workSignal.wait(lock, token, [&self] { return (self.wake & 1) != 0; });
      self.state = kAwake;
      self.wake = 0;
      continue;
    }
    self.tasks.fetch_add(1, std::memory_order_relaxed);
    // No exception leaves the worker: it goes to the item's future.
    try {
      const int result = self.item->do_call();
      self.item.reset();
      self.promise->set_value(result);
    } catch (...) {
      failItem(self);
    }
    self.promise.reset();
  }
}
