// The monitor's core pieces: the thread pool, log lines, request heads as
// they arrive and as they are parsed, CGI parameters and their bounds, where
// the monitor finds its pages (the library's folder from a memory map, the
// document root from the variables and that folder), and the log of where
// the history's followers stand.

#include <dlfcn.h>
#include <fenv.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "httpd/cgi.h"
#include "httpd/follower_log.h"
#include "httpd/library_path.h"
#include "httpd/log_line.h"
#include "httpd/log_safe.h"
#include "httpd/request_head.h"
#include "httpd/request_intake.h"
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

// The first map of libzelk.so; this program's own map names the library
// once it is loaded (the program itself holds the library's objects).
TEST(MonitorPaths, LibraryFolderFromMemoryMap) {
  EXPECT_EQ(libraryDirFromMaps("7f1-7f2 r--p 0 08:01 12 /opt/x/lib/libzelkcomp.so\n"
                               "7f3-7f4 r--p 0 08:01 13 /opt/x/lib/libzelk.so.1 (deleted)\n"
                               "7f5-7f6 r-xp 0 08:01 13 /other/lib/libzelk.so\n"),
            "/opt/x/lib");
  EXPECT_EQ(libraryDirFromMaps("7f-7f r--p 0 0:0 1 /usr/lib/libzelkcomp.so\n"), "");
  void* library = dlopen(ZELK_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const std::string built = ZELK_LIB_PATH;
  EXPECT_EQ(getZelkLibraryPath(), built.substr(0, built.rfind('/')));
  dlclose(library);
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
      {"GET",
       "v=" + std::string(100, 'v') + "&w=" + std::string(99, 'w'),
       "",
       "",
       {{"w", std::string(99, 'w')}},
       false},
      {"GET", "lt=a%3Cb&ok=a&noeq&=5&e=", "", "", {{"ok", "a"}, {"e", ""}}, false},
      {"GET", "t=x%4&h=%zz1", "", "", {{"t", "x4"}, {"h", "zz1"}}, false},
      {"POST",
       "ignored=1",
       "application/x-www-form-urlencoded",
       "name=c1&value=2",
       {{"name", "c1"}, {"value", "2"}},
       false},
      {"POST", "q=1", "", "", {{"q", "1"}}, false},
      {"POST",
       "",
       "multipart/form-data; charset=utf-8; boundary=\"XyZ\"",
       kMultipart,
       {{"a", "1"}, {"b", "hello world"}},
       false},
      {"POST", "", "text/plain", "a=1", {}, true},
  };
  for (const auto& c : cases) {
    const MyMap<std::string, std::string> variables{{"REQUEST_METHOD", c.method},
                                                    {"QUERY_STRING", c.query},
                                                    {"CONTENT_TYPE", c.contentType},
                                                    {"QUERY_DATA", c.body}};
    CGI cgi(variables);
    std::string(c.method) == "POST" ? cgi.parsePostRequest() : cgi.parseQueryString(c.query);
    Params got;
    for (const auto& [name, part] : cgi.parameters) got[name] = part.body;
    EXPECT_EQ(got, c.expected) << c.query << " " << c.body;
    EXPECT_EQ(cgi.failed, c.failed) << c.query;
  }
}

// Forms a peer may make as costly as it likes: the work and what is logged
// stay bounded, and what was dropped is counted in one summary line.
TEST(Cgi, BoundsWhatAPeerCanCost) {
  std::string distinct, parts;
  for (int i = 0; i < 40; ++i) distinct.append(1, 'p').append(std::to_string(i)).append("=v&");
  for (int i = 0; i < 1500; ++i)
    parts += "--b\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1\r\n";
  const struct {
    std::string contentType;
    std::string body;
    std::size_t kept;
    int failStatus;       // -1: not failed
    const char* summary;  // a part of the summary line
  } cases[] = {
      {"", std::string(100000, '&'), 0, -1, "99001 x form item past the limit"},
      {"", distinct, CGI::kMaxParameters, -1, "8 x parameter past the limit"},
      {"", "a=" + std::string(100000, '%'), 0, -1, "1 x parameter with invalid value"},
      {"", "a=%zz%4", 1, -1, "1 x invalid url encoded string"},
      {"multipart/form-data", std::string(100000, '-'), 0, 400, "without a valid boundary"},
      {"multipart/form-data; boundary=\"\"", "--", 0, 400, "without a valid boundary"},
      {"multipart/form-data; boundary=" + std::string(71, 'b'), "--", 0, 400, "valid boundary"},
      {"multipart/form-data; boundary=b", parts + "--b--\r\n", 1, -1,
       "1 x multipart part past the limit"},
  };
  for (const auto& c : cases) {
    const MyMap<std::string, std::string> variables{
        {"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", c.contentType}, {"QUERY_DATA", c.body}};
    CGI cgi(variables);
    cgi.parsePostRequest();
    EXPECT_EQ(cgi.parameters.size(), c.kept) << c.summary;
    EXPECT_EQ(cgi.failed ? cgi.failStatus : -1, c.failStatus) << c.summary;
    const std::string summary = cgi.ignoredSummary();
    EXPECT_NE(summary.find(c.summary), std::string::npos) << summary;
    EXPECT_LT(summary.size(), 2000u) << summary;
  }
  // A stopped request gives up within a few hundred items.
  std::stop_source stop;
  stop.request_stop();
  const MyMap<std::string, std::string> variables{{"QUERY_DATA", std::string(100000, '&')}};
  CGI cgi(variables, CGI::Budget{SteadyTime::max(), stop.get_token()});
  cgi.parsePostRequest();
  EXPECT_TRUE(cgi.failed);
  EXPECT_EQ(cgi.failStatus, 408);
}

TEST(RequestHead, FieldsAsHttp11DefinesThem) {
  const std::set<std::string> methods{"GET", "POST"}, versions{"HTTP/1.0", "HTTP/1.1"};
  const struct {
    std::string fields;  // between the request line and the blank line
    int status;          // 0: parsed
    std::map<std::string, std::string> headers;
  } cases[] = {
      {"Host:x\r\n", 0, {{"host", "x"}}},
      {"HOST: \t x:1 \t\r\nX-A: a: b\r\n", 0, {{"host", "x:1"}, {"x-a", "a: b"}}},
      {"X: 1\r\nx: 2\r\n", 0, {{"x", "1"}}},  // a repeat of another field is dropped
      {"X:\r\n", 0, {{"x", ""}}},
      {"X: \xc3\xa9\r\n", 0, {{"x", "\xc3\xa9"}}},
      {"Host : x\r\n", 400, {}},
      {"Ho st: x\r\n", 400, {}},
      {": x\r\n", 400, {}},
      {"NoColon\r\n", 400, {}},
      {"X: 1\r\n folded\r\n", 400, {}},
      {std::string("Host: 127.0.0.1\0.evil.example\r\n", 32), 400, {}},
      {"X: a\x7f\r\n", 400, {}},
      {"X: a\rb\r\n", 400, {}},
      {"Host: a\r\nHost: a\r\n", 400, {}},
      {"Origin: a\r\norigin: b\r\n", 400, {}},
      {"Content-Length: 1\r\nContent-Length: 1\r\n", 400, {}},
      {"Content-Type: a\r\nContent-Type: a\r\n", 400, {}},
      {"Transfer-Encoding: a\r\nTransfer-Encoding: a\r\n", 400, {}},
  };
  for (const auto& c : cases) {
    RequestHead head;
    ResponseInfo response;
    const std::string block = "GET /p?q=1 HTTP/1.1\r\n" + c.fields + "\r\n";
    const int result = parseRequestHead(block, methods, versions, head, response);
    EXPECT_EQ(result == 0 ? 0 : response.status, c.status) << c.fields;
    if (result == 0) {
      EXPECT_EQ(head.headers, c.headers) << c.fields;
      EXPECT_EQ((head.method + " " + head.path + " " + head.query + " " + head.version),
                "GET /p q=1 HTTP/1.1");
    }
  }
}

// Segments as a peer may cut them: the block's end found across them, the
// body kept or only counted, bytes beyond the request noticed.
TEST(RequestIntake, HeadAndBodyFromSegments) {
  using Phase = RequestIntake::Phase;
  const std::string head = "POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  const struct {
    std::vector<std::string> segments;
    std::size_t length;
    bool keep;
    Phase phase;
    std::string body;
    bool inputLeft;
  } cases[] = {
      {{head.substr(0, head.size() - 3), head.substr(head.size() - 3) + "abcde"},
       5,
       true,
       Phase::Done,
       "abcde",
       false},
      {{head + "ab", "c", "de"}, 5, true, Phase::Done, "abcde", false},
      {{head + "abcdefg"}, 5, true, Phase::Done, "abcde", true},
      {{head + "abcde"}, 5, false, Phase::Done, "", false},
      {{head + "ab"}, 5, true, Phase::Body, "ab", true},
      {{head + "xyz"}, 0, true, Phase::Done, "", true},
  };
  for (const auto& c : cases) {
    RequestIntake intake(1024);
    for (std::size_t i = 0; i < c.segments.size(); ++i) {
      ASSERT_TRUE(intake.take(c.segments[i]));
      if (intake.phase() == Phase::HeadRead) {
        EXPECT_EQ(intake.head(), head);
        intake.expectBody(c.length, c.keep);
      }
    }
    EXPECT_EQ(intake.phase(), c.phase) << c.segments[0];
    EXPECT_EQ(intake.bodyArrived(), c.phase == Phase::Done ? c.length : c.body.size());
    EXPECT_EQ(intake.inputLeft(), c.inputLeft) << c.segments.back();
    EXPECT_EQ(intake.takeBody(), c.body);
  }
  RequestIntake small(20);
  EXPECT_TRUE(small.take("GET / HTTP/1.1\r\n"));
  EXPECT_FALSE(small.take("X: y\r\n"));  // no end of the block within the cap
}

// Whom a closing server waits for: the followers answered since the grace
// began that were left before the end and have neither come back nor hung
// up. Times in seconds after some start; the grace begins at 10.
TEST(FollowerLog, BehindAreThoseLeftBeforeTheEndNotBackSince) {
  struct Answer {
    double at;
    std::optional<std::size_t> from;
    std::size_t to;
  };
  const auto many = [](std::size_t count, double at) {
    std::vector<Answer> answers;
    for (std::size_t i = 0; i < count; ++i) answers.push_back({at, std::nullopt, 100 + i});
    return answers;
  };
  const struct {
    const char* log;
    std::vector<Answer> answers;
    std::optional<std::size_t> end;  // nothing: could not be had
    bool behind;
    std::vector<std::size_t> left{};  // followers that left from these positions, after them
  } cases[] = {
      {"empty", {}, 5, false},
      {"left at the end", {{10.5, 3, 5}}, 5, false},
      {"left before the end", {{10.5, 3, 5}}, 6, true},
      {"left past the end (a position of another run)", {{10.5, 3, 9}}, 6, false},
      {"before the grace", {{9.5, 3, 5}}, 6, false},
      {"came back and was left at the end", {{10.5, 3, 5}, {10.6, 5, 6}}, 6, false},
      {"came back to wait (408)", {{10.5, 3, 5}, {10.6, 5, 5}}, 6, true},
      {"one of two at a place came back", {{10.5, 3, 5}, {10.5, 3, 5}, {10.6, 5, 6}}, 6, true},
      {"both came back", {{10.5, 3, 5}, {10.5, 3, 5}, {10.6, 5, 6}, {10.6, 5, 6}}, 6, false},
      {"a whole read, then its first poll", {{10.5, std::nullopt, 5}, {10.6, 5, 6}}, 6, false},
      {"a newcomer took the place of an old leaver", {{1, 3, 5}, {10.5, 3, 5}, {10.6, 5, 6}}, 6,
       false},
      {"the end unknown", {{10.5, 3, 5}}, std::nullopt, true},
      {"the end unknown, nobody answered lately", {{9.5, 3, 5}}, std::nullopt, false},
      {"old answers gave way", many(FollowerLog::kCapacity + 1, 9), 0, false},
      {"answers of the grace gave way", many(FollowerLog::kCapacity + 1, 10.5), 0, false},
      {"left behind, then hung up", {{10.5, 3, 5}}, 6, false, {5}},
      {"one of two at a place hung up", {{10.5, 3, 5}, {10.5, 3, 5}}, 6, true, {5}},
      {"one elsewhere hung up", {{10.5, 3, 5}}, 6, true, {4}},
  };
  const SteadyTime start{};
  const auto at = [start](double seconds) {
    return start +
           std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(seconds));
  };
  for (const auto& c : cases) {
    FollowerLog log;
    for (const Answer& a : c.answers) log.answered(at(a.at), FollowStep{a.from, a.to});
    for (const std::size_t position : c.left) log.left(position);
    int asked = 0;
    const bool behind = log.anyBehind(at(10), [&] {
      ++asked;
      return c.end;
    });
    EXPECT_EQ(behind, c.behind) << c.log;
    EXPECT_LE(asked, 1) << c.log;
  }
}

}  // namespace
