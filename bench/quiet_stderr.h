#pragma once
// The solvers trace to standard error; benchmarks send it to /dev/null for
// their timed loops so that the report stays readable. Works on the file
// descriptor, so both C stdio and std::cerr are silenced.

#include <fcntl.h>
#include <unistd.h>

class QuietStderr {
 public:
  QuietStderr() : saved_(dup(STDERR_FILENO)) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDERR_FILENO);
      close(null);
    }
  }
  ~QuietStderr() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};
