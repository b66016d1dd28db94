#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/get_env.h"
#include "httpd/log_line.h"
#include "httpd/log_safe.h"

namespace {

TEST(LogLineThreaded, EightThreadsWriteWholeLines) {
  constexpr int kThreads = 8, kLines = 500;
  // Callers end their text in none, one or two line feeds: one line each.
  const char* const endings[] = {"", "\n", "\n\n"};
  testing::internal::CaptureStderr();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, &endings] {
        for (int i = 0; i < kLines; ++i)
          LogLine("") << "thread " << t << " line " << i << endings[i % 3];
      });
  }
  const std::string out = testing::internal::GetCapturedStderr();
  const std::regex line(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} \d+:\d+: : thread [0-7] line \d{1,3})");
  std::istringstream lines(out);
  int count = 0;
  for (std::string text; std::getline(lines, text); ++count)
    ASSERT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(out.back(), '\n');
}

TEST(LogLine, TimeStampHasTruncatedMilliseconds) {
  const struct {
    long usec;
    const char* ending;
  } cases[] = {{41900, ".041"}, {50, ".000"}, {999999, ".999"}};
  for (const auto& c : cases) {
    const std::string stamp = formatLogTime(timeval{1700000000, c.usec});
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")))
        << stamp;
    EXPECT_EQ(stamp.substr(stamp.size() - 4), c.ending);
  }
}

TEST(LogSafe, EscapesControlBytesAndCutsLongData) {
  EXPECT_EQ(logSafe("GET /a\r\nX: \x1b[2J\x7f"), "GET /a\\r\\nX: \\x1b[2J\\x7f");
  EXPECT_EQ(logSafe(std::string(300, 'p')), std::string(200, 'p') + "...");
  EXPECT_EQ(logSafe(std::string(200, 'p')), std::string(200, 'p'));
}

TEST(GetEnv, SetEmptyAndMissing) {
  ASSERT_EQ(setenv("ZELK_TEST_EMPTY_VAR", "", 1), 0);
  unsetenv("ZELK_TEST_MISSING_VAR");
  const GetEnv empty("ZELK_TEST_EMPTY_VAR", "fallback");
  const GetEnv missing("ZELK_TEST_MISSING_VAR", "fallback");
  unsetenv("ZELK_TEST_EMPTY_VAR");
  using Seen = std::pair<std::string, int>;
  EXPECT_EQ(Seen(empty.value, empty.isSet), Seen("", 1));
  EXPECT_EQ(Seen(missing.value, missing.isSet), Seen("fallback", 0));
}

}  // namespace
