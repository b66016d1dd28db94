#pragma once
// A pause that a stop request cuts short: the listener's idle passes and
// back-offs, and the test delay route, all of which a server stop must end
// at once.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

inline void sleepUnlessStopped(const std::stop_token& stop, std::chrono::milliseconds d) {
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock<std::mutex> lock(mutex);
  never.wait_for(lock, stop, d, [] { return false; });
}
