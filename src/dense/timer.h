#pragma once
// Wall-clock timers.

#include <string>

// Scoped stopwatch on the OpenMP wall clock. When it goes out of scope it
// writes "t(" label "): " seconds " s\n" to standard error, the seconds in the
// stream's current number format; an empty label keeps it silent.
class Timer {
 public:
  double start;
  double stop = 0.0;  // 0.0 while running
  std::string label;

  explicit Timer(std::string label_);
  ~Timer();
  // A copy would report the same interval twice.
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Seconds from construction to destruction, or to now while running.
  double elapsed() const;
};

// Seconds of the time of day (gettimeofday); 0.0 when the clock cannot be read.
double get_wall_time();
