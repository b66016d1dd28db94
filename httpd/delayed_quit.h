#pragma once
// The server's one pending delayed quit.
//
// A quit asked for in d milliseconds sets the quit flag once d has passed.
// Several requests share one timer thread and the earliest deadline wins: a
// later request never postpones a quit already due sooner. cancel() (and the
// destructor) ends the timer without quitting and joins it, so nothing runs
// on after the server is gone.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

class DelayedQuit {
 public:
  explicit DelayedQuit(std::atomic<int>& quit) : quit_(quit) {}
  ~DelayedQuit() { cancel(); }
  DelayedQuit(const DelayedQuit&) = delete;
  DelayedQuit& operator=(const DelayedQuit&) = delete;

  // Quits after `delay` unless a quit is already due sooner. The timer
  // thread is created with floating-point traps off. Throws
  // std::system_error when no thread can be started.
  void schedule(std::chrono::milliseconds delay);
  void cancel() noexcept;
  bool pending();

 private:
  using Clock = std::chrono::steady_clock;

  std::atomic<int>& quit_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  Clock::time_point deadline_{};  // under mutex_
  bool armed_ = false;            // under mutex_: the timer waits for deadline_
  std::jthread timer_;            // started by the first schedule, ends at cancel

  void run(std::stop_token stop);
};
