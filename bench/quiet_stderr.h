#pragma once
// The solvers trace to standard error; benchmarks send it to /dev/null for
// their timed loops so that the report stays readable. Works on the file
// descriptor, so both C stdio and std::cerr are silenced. The same for
// standard output (QuietStderr quiet(STDOUT_FILENO)), where the
// minimisation driver writes its CG coefficients; pending output is
// flushed before either switch, so nothing silenced leaks out later.

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

class QuietStderr {
 public:
  explicit QuietStderr(int fd = STDERR_FILENO) : fd_(fd) {
    fflush(nullptr);
    saved_ = dup(fd_);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, fd_);
      close(null);
    }
  }
  ~QuietStderr() {
    fflush(nullptr);
    if (saved_ >= 0) {
      dup2(saved_, fd_);
      close(saved_);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int fd_;
  int saved_ = -1;
};
