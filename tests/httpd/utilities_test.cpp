// Log lines, environment variables, and where the monitor finds its pages:
// the library's folder from a memory map, and the document root from the
// variables and that folder.

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/library_path.h"
#include "httpd/log_line.h"
#include "httpd/log_safe.h"

namespace {

TEST(LogLineThreaded, EightThreadsWriteWholeLines) {
  // Callers end their text in none, one or two line feeds: one line each.
  const char* const endings[] = {"", "\n", "\n\n"};
  testing::internal::CaptureStderr();
  for (std::vector<std::jthread> threads; threads.size() < 8;)  // joined at the loop's end
    threads.emplace_back([t = threads.size(), &endings] {
      for (int i = 0; i < 500; ++i) LogLine("") << "thread " << t << " line " << i << endings[i % 3];
    });
  const std::string out = testing::internal::GetCapturedStderr();
  const std::regex line(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} \d+:\d+: : thread [0-7] line \d{1,3})");
  std::istringstream lines(out);
  int count = 0;
  for (std::string text; std::getline(lines, text); ++count)
    ASSERT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(count, 4000);
  EXPECT_EQ(out.back(), '\n');
  // Milliseconds are cut, not rounded.
  const std::string stamp = formatLogTime(timeval{1700000000, 41900});
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.041)")))
      << stamp;
}

TEST(LogSafe, EscapesControlBytesAndCutsLongData) {
  EXPECT_EQ(logSafe("GET /a\r\nX: \x1b[2J\x7f"), "GET /a\\r\\nX: \\x1b[2J\\x7f");
  EXPECT_EQ(logSafe(std::string(300, 'p')), std::string(200, 'p') + "...");
  EXPECT_EQ(logSafe(std::string(200, 'p')), std::string(200, 'p'));
}

GetEnv variable(const char* value) {
  GetEnv v("ZELK_TEST_NEVER_SET", "");
  if (value) v.value = value, v.isSet = 1;
  return v;
}

TEST(MonitorPaths, DocumentRootFromVariablesAndLibraryFolder) {
  const struct {
    const char *home, *share, *html, *libraryDir, *root;
  } cases[] = {
      {nullptr, nullptr, nullptr, "/opt/x/lib", "/opt/x/share/Zelk/html"},
      {nullptr, nullptr, nullptr, "/home/u/build", "/home/u/build/html"},
      {nullptr, nullptr, nullptr, "", "/usr/share/Zelk/html"},
      {nullptr, nullptr, nullptr, "/usr/lib/x86_64-linux-gnu", "/usr/share/Zelk/html"},
      {nullptr, nullptr, nullptr, "/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu/html"},
      {"", nullptr, nullptr, "/opt/x/lib", "/opt/x/share/Zelk/html"},  // empty: derived
      {"/p", nullptr, nullptr, "/ignored/lib", "/p/share/Zelk/html"},
      {"/p", "/s", nullptr, "", "/s/html"},
      {"/p", "/s", "/h", "", "/h"},
      {nullptr, nullptr, "", "/opt/x/lib", ""},  // set but empty: no files at all
      {"/p", "", nullptr, "/opt/x/lib", ""},     // never "/html" at the root
  };
  for (const auto& c : cases) {
    int asked = 0;
    const std::string root =
        monitorDocumentRoot(variable(c.home), variable(c.share), variable(c.html), [&] {
          ++asked;
          return std::string(c.libraryDir);
        });
    EXPECT_EQ(root, c.root) << c.libraryDir;
    EXPECT_EQ(asked, !c.html && !c.share && !(c.home && *c.home)) << c.libraryDir;
  }
}

// The first map of libzelk.so; this program's own map names the library it
// links.
TEST(MonitorPaths, LibraryFolderFromMemoryMap) {
  EXPECT_EQ(libraryDirFromMaps("7f1-7f2 r--p 0 08:01 12 /opt/x/lib/libzelkcomp.so\n"
                               "7f3-7f4 r--p 0 08:01 13 /opt/x/lib/libzelk.so.1 (deleted)\n"
                               "7f5-7f6 r-xp 0 08:01 13 /other/lib/libzelk.so\n"),
            "/opt/x/lib");
  EXPECT_EQ(libraryDirFromMaps("7f-7f r--p 0 0:0 1 /usr/lib/libzelkcomp.so\n"), "");
  EXPECT_FALSE(getZelkLibraryPath().empty());
}

}  // namespace
