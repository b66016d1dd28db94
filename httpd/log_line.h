#pragma once
// One-line diagnostics that several threads may write at once.
//
// A LogLine collects its text in memory and writes it to standard error in
// one write when it goes out of scope, under a process-wide mutex, so lines
// of different threads never mix. Every line starts with the local time to
// the millisecond, the process id and the thread id, and ends in exactly one
// line feed whatever the caller streamed.

#include <sys/time.h>

#include <mutex>
#include <sstream>
#include <string>

class LogLine : public std::ostringstream {
 public:
  static std::mutex m_mutex;

  // Writes the prefix "<time> <pid>:<tid>: " and, for a non-empty name,
  // "<name>:0", then ": ".
  explicit LogLine(const std::string& name);
  ~LogLine() override;
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;
};

// "%Y-%m-%dT%H:%M:%S" in local time, a dot and the milliseconds of tv
// (truncated, three digits).
std::string formatLogTime(const timeval& tv);
