#include "dense/timer.h"

#include <omp.h>
#include <sys/time.h>

#include <iostream>
#include <utility>

Timer::Timer(std::string label_) : start(omp_get_wtime()), label(std::move(label_)) {}

Timer::~Timer() {
  stop = omp_get_wtime();
  if (label.empty()) return;
  std::cerr << "t(" << label << "): " << elapsed() << " s\n";
}

double Timer::elapsed() const { return stop != 0.0 ? stop - start : omp_get_wtime() - start; }

double get_wall_time() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0.0;
  return static_cast<double>(tv.tv_usec) * 1e-6 + static_cast<double>(tv.tv_sec);
}
