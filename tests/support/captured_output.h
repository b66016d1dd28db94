#pragma once
// What a piece of code under test prints, for tests that check messages.

#include <gtest/gtest.h>

#include <regex>
#include <string>

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What f writes to standard error; its standard output goes to *out, or
// is dropped.
template <class F>
std::string stderrOf(F&& f, std::string* out = nullptr) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  f();
  const std::string stdoutText = testing::internal::GetCapturedStdout();
  if (out != nullptr) *out = stdoutText;
  return testing::internal::GetCapturedStderr();
}


// Text a driver printed, without the monitor's log lines. The monitor logs
// from its own thread, each line whole, while a driver writes a trace line
// in pieces: a log line may land inside one ("rho = 1<log line>, D = ..."),
// so the log lines are taken out wherever they stand.
inline std::string withoutMonitorLog(const std::string& text) {
  static const std::regex logLine(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} \d+:\d+: [^\n]*\n)");
  return std::regex_replace(text, logLine, "");
}
