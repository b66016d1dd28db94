#include "leastsq/run_monitor.h"

#include <mutex>

#include "zelk/monitor.h"

RunMonitor::RunMonitor(const std::valarray<double>& x, const std::valarray<double>& r)
    : x_(x), r_(r), data_{{"x", &x_}, {"y", &r_}} {}

void RunMonitor::start() {
  if (handle_ == nullptr) handle_ = zelkcomp_start_httpd(data_, history_, run_);
}

void RunMonitor::stop() noexcept {
  if (handle_ == nullptr) return;
  zelkcomp_stop_httpd(handle_);
  handle_ = nullptr;
}

void RunMonitor::publish(const std::valarray<double>& x, const std::valarray<double>& r) {
  const std::lock_guard<std::mutex> lock(run_.mutex);
  if (x.size() == x_.size()) x_ = x;
  if (r.size() == r_.size()) r_ = r;
}
