#pragma once
// What a piece of code under test prints, for tests that check messages.

#include <gtest/gtest.h>

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

