// The monitor's core pieces: the thread pool, log lines, CGI parameters,
// and where the monitor finds its pages (the library's folder from a memory
// map, the document root from the variables and that folder).

#include <fenv.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/cgi.h"
#include "httpd/library_path.h"
#include "httpd/log_line.h"
#include "httpd/log_safe.h"
#include "httpd/thread_pool.h"
#include "support/fp_traps.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // no item of these tests may take this long

// The item's result (or its exception), waited for at most kBound.
int resultOf(std::future<int> result) {
  return result.wait_for(kBound) == std::future_status::ready ? result.get() : -99;
}

// An item that reports the thread it runs on and then waits for its gate.
struct Gate {
  std::promise<std::thread::id> ran;
  std::promise<void> open;
  std::thread::id thread() {  // once the item runs (bounded)
    auto f = ran.get_future();
    return f.wait_for(kBound) == std::future_status::ready ? f.get() : std::thread::id();
  }
};

int runGated(Gate* gate, long result) {
  gate->ran.set_value(std::this_thread::get_id());
  gate->open.get_future().wait_for(kBound);
  return static_cast<int>(result);
}

TEST(ThreadPoolThreaded, SixthStartWaitsAndLandsOnTheFreedWorker) {
  ThreadPool pool(5);
  std::vector<Gate> gates(6);
  std::vector<std::future<int>> results;
  std::vector<std::thread::id> threads;
  for (long i = 0; i < 5; ++i) {
    results.push_back(pool.start(runGated, &gates[i], i));
    threads.push_back(gates[i].thread());
  }
  EXPECT_FALSE(pool.tryStart(runGated, &gates[5], 5L).has_value());
  auto sixth = std::async(std::launch::async, [&] { return pool.start(runGated, &gates[5], 5L); });
  EXPECT_EQ(sixth.wait_for(50ms), std::future_status::timeout);
  gates[3].open.set_value();
  EXPECT_EQ(resultOf(std::move(results[3])), 3);
  EXPECT_EQ(gates[5].thread(), threads[3]);
  for (int i : {0, 1, 2, 4, 5}) gates[i].open.set_value();
  ASSERT_EQ(sixth.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(resultOf(sixth.get()), 5);
}

TEST(ThreadPoolThreaded, ThrowingItemLeavesThePoolWorkingUntilAStop) {
  ThreadPool pool(1);
  EXPECT_THROW(resultOf(pool.start([](long) -> int { throw std::runtime_error("failed"); }, 0L)),
               std::runtime_error);
  EXPECT_EQ(resultOf(pool.start([](long v) { return static_cast<int>(v); }, 7L)), 7);
  pool.stopSource.request_stop();  // a start then gives up
  EXPECT_THROW(resultOf(pool.start([](long) { return 1; }, 0L)), std::future_error);
}

// Workers run without traps; destroying the pool waits for a running item.
TEST(ThreadPoolThreaded, WorkersRunWithoutTrapsAndDestructionWaits) {
  std::unique_ptr<ThreadPool> pool;
  {
    FpTrapGuard traps;  // armed in the thread that builds the pool
    pool = std::make_unique<ThreadPool>(1);
  }
  EXPECT_EQ(resultOf(pool->start([](long) { return fegetexcept(); }, 0L)), 0);
  std::atomic<bool> finished{false};
  Gate gate;
  pool->start(
      [&finished](Gate* g) {
        g->ran.set_value(std::this_thread::get_id());
        std::this_thread::sleep_for(100ms);
        return (finished = true) ? 0 : 1;
      },
      &gate);
  gate.thread();
  pool.reset();
  EXPECT_TRUE(finished);
}

TEST(LogLineThreaded, EightThreadsWriteWholeLines) {
  // Callers end their text in none, one or two line feeds: one line each.
  const char* const ends[] = {"", "\n", "\n\n"};
  testing::internal::CaptureStderr();
  for (std::vector<std::jthread> threads; threads.size() < 8;)  // joined at the loop's end
    threads.emplace_back([t = threads.size(), &ends] {
      for (int i = 0; i < 500; ++i) LogLine("") << "thread " << t << " line " << i << ends[i % 3];
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

using Params = std::map<std::string, std::string>;

const char* const kMultipart =
    "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZ\r\n"
    "Content-Disposition: form-data; name=\"b\"\r\nContent-Type: text/plain\r\n\r\n"
    "hello world\r\n--XyZ--\r\n";

TEST(Cgi, ParametersOfQueriesAndForms) {
  const struct {
    const char* method;
    std::string query;
    const char* contentType;
    std::string body;
    Params expected;
    bool failed;
  } cases[] = {
      {"GET", "a=1&b=x%41+y", "", "", {{"a", "1"}, {"b", "xA y"}}, false},
      {"GET", "a=1&a=2", "", "", {{"a", "1"}}, false},
      {"GET", "v=" + std::string(100, 'v') + "&w=" + std::string(99, 'w'), "", "",
       {{"w", std::string(99, 'w')}}, false},
      {"GET", "lt=a%3Cb&ok=a&noeq&=5&e=", "", "", {{"ok", "a"}, {"e", ""}}, false},
      {"GET", "t=x%4&h=%zz1", "", "", {{"t", "x4"}, {"h", "zz1"}}, false},
      {"POST", "ignored=1", "application/x-www-form-urlencoded", "name=c1&value=2",
       {{"name", "c1"}, {"value", "2"}}, false},
      {"POST", "q=1", "", "", {{"q", "1"}}, false},
      {"POST", "", "multipart/form-data; charset=utf-8; boundary=\"XyZ\"", kMultipart,
       {{"a", "1"}, {"b", "hello world"}}, false},
      {"POST", "", "text/plain", "a=1", {}, true},
  };
  for (const auto& c : cases) {
    const MyMap<std::string, std::string> variables{
        {"REQUEST_METHOD", c.method}, {"QUERY_STRING", c.query},
        {"CONTENT_TYPE", c.contentType}, {"QUERY_DATA", c.body}};
    CGI cgi(variables);
    std::string(c.method) == "POST" ? cgi.parsePostRequest() : cgi.parseQueryString(c.query);
    Params got;
    for (const auto& [name, part] : cgi.parameters) got[name] = part.body;
    EXPECT_EQ(got, c.expected) << c.query << " " << c.body;
    EXPECT_EQ(cgi.failed, c.failed) << c.query;
  }
}

}  // namespace
