#include "httpd/delayed_quit.h"

#include "httpd/traps_off.h"

void DelayedQuit::schedule(std::chrono::milliseconds delay) {
  const Clock::time_point due = Clock::now() + delay;
  std::lock_guard<std::mutex> lock(mutex_);
  if (armed_ && deadline_ <= due) return;
  deadline_ = due;
  armed_ = true;
  if (!timer_.joinable()) {
    TrapsOff traps;
    timer_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
  } else {
    changed_.notify_all();
  }
}

void DelayedQuit::run(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!changed_.wait(lock, stop, [this] { return armed_; })) return;
    const Clock::time_point due = deadline_;
    // Wakes early for a stop or a sooner deadline.
    changed_.wait_until(lock, stop, due, [&] { return deadline_ != due; });
    if (stop.stop_requested()) return;
    if (deadline_ == due && Clock::now() >= due) {
      armed_ = false;
      quit_ = 1;
    }
  }
}

void DelayedQuit::cancel() noexcept {
  if (!timer_.joinable()) return;
  timer_.request_stop();
  timer_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = false;
}

bool DelayedQuit::pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return armed_;
}
