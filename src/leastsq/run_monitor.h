#pragma once
// What a least-squares run lends the live monitor, and the monitor's
// lifetime.
//
// The monitor's workers read the lent vectors and the history while the
// run goes on. The run therefore lends copies of its point and residuals,
// sized once and never resized, and refreshes their contents only under
// the run record's mutex (publish); records are appended under the same
// mutex (TrovikOptimizationTask::appendRecord). The run never notifies the
// condition variable: the monitor's listener wakes its long polls.
//
// The monitor is stopped when this object ends, whichever way the run
// leaves, before the lent data goes: its handle is the last member. A
// monitor that could not start (a null handle) leaves the run unmonitored.

#include <valarray>

#include "httpd/monitor_data.h"

class RunMonitor {
 public:
  // Copies of x and r as the monitor's "x" and "y".
  RunMonitor(const std::valarray<double>& x, const std::valarray<double>& r);
  ~RunMonitor() { stop(); }
  RunMonitor(const RunMonitor&) = delete;
  RunMonitor& operator=(const RunMonitor&) = delete;

  // Starts serving (zelkcomp_start_httpd).
  void start();
  // Stops serving; the monitor is gone when this returns.
  void stop() noexcept;

  // New contents of "x" and "y" (of the lengths lent).
  void publish(const std::valarray<double>& x, const std::valarray<double>& r);

  IterationHistory& history() { return history_; }
  RunInfo& runInfo() { return run_; }

 private:
  std::valarray<double> x_;
  std::valarray<double> r_;
  MonitorDataMap data_;
  IterationHistory history_;
  RunInfo run_;
  void* handle_ = nullptr;
};
