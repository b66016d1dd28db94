#include "dense/timer.h"

#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <sstream>

namespace {

// Collects what is written to std::cerr while it lives.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(buf_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  std::string text() const { return buf_.str(); }

 private:
  std::ostringstream buf_;
  std::streambuf* old_;
};

}  // namespace

TEST(Timer, ReportsLabelAndSecondsOnce) {
  CerrCapture cap;
  double running;
  {
    Timer t("tr_");
    running = t.elapsed();
    EXPECT_EQ(t.stop, 0.0);
  }
  EXPECT_GE(running, 0.0);
  EXPECT_TRUE(std::regex_match(cap.text(), std::regex(R"(t\(tr_\): [0-9.e+-]+ s\n)")))
      << cap.text();

  CerrCapture quiet;
  { Timer t(""); }
  EXPECT_EQ(quiet.text(), "");
}

TEST(WallTime, SecondsOfTheDay) {
  const double a = get_wall_time();
  EXPECT_GT(a, 1e9);  // after 2001
  EXPECT_GE(get_wall_time(), a);
}
