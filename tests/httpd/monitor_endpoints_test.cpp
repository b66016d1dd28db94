// The monitor's routes called directly (no sockets) over small synthetic
// registries, data and history, and the pure pieces they are made of.

#include "httpd/monitor_endpoints.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <future>
#include <limits>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "httpd/http_server.h"
#include "httpd/monitor_routes.h"
#include "support/fp_traps.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Strings = MyMap<std::string, std::string>;
using Headers = std::map<std::string, std::string>;

struct MonitorRoutes : testing::Test {
  double alpha = 0.5, c1 = 1e-4;
  int count = 3;
  VariantPtr<double> alphaSlot{0, kInf, OptFlag::NeedsRestart, &alpha};
  VariantPtr<int> countSlot{0, 100, 0, &count};
  VariantPtr<double> c1Slot{0, 1, OptFlag::ReadOnly, &c1};
  OptionSlots options{{"alpha", &alphaSlot}, {"c1", &c1Slot}, {"count", &countSlot}};
  OptionSlots status;
  std::valarray<double> x{1.0, kNaN, -kInf, 0.1};
  MonitorDataMap data{{"x", &x}, {"none", nullptr}};
  IterationHistory history;
  RunInfo run;
  HTTPServer server{"0", ""};
  int result = 0;  // of the last call

  MonitorRoutes() { registerMonitorRoutes(server, {options, status, data, history, run}); }

  ResponseInfo call(const std::string& method, const std::string& path, Strings parameters = {},
                    const std::string& host = "127.0.0.1", Headers headers = {}) {
    RequestInfo request;
    request.method = method;
    request.path = path;
    request.host = host;
    request.headers = std::move(headers);
    request.parameters = std::move(parameters);
    ResponseInfo response;
    result = server.dispatchRequest(request, response);
    return response;
  }
};

// Under traps: the numbers of NaN and the infinities are never formatted.
TEST_F(MonitorRoutes, ExactJsonAnswers) {
  FpTrapGuard traps;
  history.push_back({{"it", "0"}, {"J", "inf"}});
  history.push_back({{"a\"b", "x\\y\n\x01 \u00e9"}});
  const struct {
    const char* path;
    std::string body;
  } cases[] = {
      {"/options",
       "[\n{\"value\": 0.5, \"name\": \"alpha\", \"min\": 0, \"max\": \"Inf\", \"readonly\": 0, "
       "\"needsrestart\": 2, \"choices\": []},\n{\"value\": 3, \"name\": \"count\", \"min\": 0, "
       "\"max\": 100, \"readonly\": 0, \"needsrestart\": 0, \"choices\": []}\n]\n"},
      {"/data/x", "[1, \"NaN\", \"-Inf\", 0.10000000000000001]"},
      {"/data", "[\n {\"name\": \"none\", \"size\": 0}, \n {\"name\": \"x\", \"size\": 4}\n]"},
      {"/history",
       "[\n{\"J\": \"inf\", \"it\": \"0\"},\n{\"a\\\"b\": \"x\\\\y\\n\\u0001 \u00e9\"}\n]\n"},
  };
  for (const auto& c : cases) {
    const ResponseInfo a = call("GET", c.path);
    EXPECT_EQ(result, 0) << c.path;
    EXPECT_EQ(a.bodyText(), c.body) << c.path;
    EXPECT_EQ(a.contentType, "") << c.path;  // the writer's "text/json"
  }
  EXPECT_EQ(run.delivered, 2u);
}

// Settings are answered 302, failures with their message. Conversions to the
// slot's type are option_cast's (tested with the options).
TEST_F(MonitorRoutes, SettingAndFailures) {
  const struct {
    const char* method;
    const char* path;
    Strings parameters;
    int status;
    const char* message;
  } cases[] = {
      {"PUT", "/option/alpha", {{"value", "1e-3x"}}, 302, ""},
      {"PUT", "/option/c1", {{"value", "0.5"}}, 302, ""},  // read-only is for the page to show
      {"POST", "/set-option/", {{"name", "count"}, {"value", "0x20"}}, 302, ""},
      {"GET", "/option/nosuch", {}, 404, "Option not found"},
      {"PUT", "/option/nosuch", {{"value", "1"}}, 404, "Option not found"},
      {"PUT", "/option/count", {}, 501, "JSON error: "},
      {"PUT", "/option/count", {{"value", "two"}}, 501, "JSON error: "},
      {"POST", "/set-option", {{"name", "count"}}, 501, "JSON error: "},
      {"GET", "/data/none", {}, 404, "Data item not found"},
      {"GET", "/index.html", {}, 404, "File not found"},      // empty document root:
      {"GET", "/get/etc/passwd", {}, 404, "File not found"},  // not the file system's
      {"DELETE", "/options", {}, 404, "Not found"},
  };
  for (const auto& c : cases) {
    const ResponseInfo a = call(c.method, c.path, c.parameters);
    EXPECT_EQ(result, c.status == 302 ? 0 : -1) << c.path;
    EXPECT_EQ(a.status, c.status) << c.path;
    EXPECT_EQ(a.message, c.message) << c.path;
    EXPECT_TRUE(c.status != 302 || a.headers.at("Location") == "/index.html");
  }
  EXPECT_TRUE(std::isnan(alpha));
  EXPECT_EQ(c1, 0.5);
  EXPECT_EQ(count, 32);
  server.documentRoot = "/dev";  // only regular files: /dev/zero would read to the size cap
  EXPECT_EQ(call("GET", "/get/zero").message, "File not found");
}

// Every request must name this machine in its Host; a change must also come
// from it, and say so in Host and Origin.
TEST_F(MonitorRoutes, ReadsAndChangesOnlyForThisMachineUnlessAllowed) {
  const Strings set{{"value", "5"}};
  server.ownNames = {"monitor-box.lab.example", "monitor-box"};
  const struct {
    const char* peer;
    Headers headers;
    bool allowRemote;
    int read;    // status of a read
    int change;  // status of a change (0: done)
  } cases[] = {
      {"127.0.0.1", {}, false, 0, 0},
      {"127.255.0.9", {{"host", "127.0.0.1:1"}, {"origin", "https://[::1]"}}, false, 0, 0},
      {"::1", {{"host", "[::1]:8881"}}, false, 0, 0},
      {"::ffff:127.0.0.1", {{"host", "LocalHost."}, {"origin", "http://localhost:1"}}, false, 0, 0},
      {"192.0.2.7", {}, false, 0, 401},
      {"::ffff:10.0.0.1", {}, false, 0, 401},
      {"::2", {}, false, 0, 401},
      {"127.0.0.1 ", {}, false, 0, 401},
      {"", {}, false, 0, 401},                                     // peer unknown
      {"192.0.2.7", {{"host", "192.0.2.1:8881"}}, false, 0, 401},  // reading by address
      {"192.0.2.7", {{"host", "[2001:db8::1]"}}, false, 0, 401},
      {"192.0.2.7", {{"host", "Monitor-Box:8881"}}, false, 0, 401},
      {"127.0.0.1", {{"host", "monitor-box.lab.example"}}, false, 0, 401},
      {"127.0.0.1", {{"host", "rebound.example:8881"}}, false, 421, 421},
      {"127.0.0.1", {{"host", "localhost.example"}}, false, 421, 421},
      {"127.0.0.1", {{"host", "monitor-box.elsewhere.example"}}, false, 421, 421},
      {"127.0.0.1", {{"host", "::1"}}, false, 400, 400},
      {"127.0.0.1", {{"host", "[::1]x"}}, false, 400, 400},
      {"127.0.0.1", {{"host", "[::1"}}, false, 400, 400},
      {"127.0.0.1", {{"host", "a b"}}, false, 400, 400},
      {"127.0.0.1", {{"host", "127.0.0.1:8a"}}, false, 400, 400},
      {"127.0.0.1", {{"host", ""}}, false, 400, 400},
      {"127.0.0.1", {{"origin", "http://elsewhere.example"}}, false, 0, 401},
      {"127.0.0.1", {{"origin", "http://localhost@evil.example"}}, false, 0, 401},
      {"127.0.0.1", {{"origin", "null"}}, false, 0, 401},
      {"192.0.2.7", {{"host", "monitor.example"}}, true, 0, 0},
  };
  for (const auto& c : cases) {
    server.allowRemoteSet = c.allowRemote;
    EXPECT_EQ(call("GET", "/status", {}, c.peer, c.headers).status, c.read) << c.peer;
    EXPECT_EQ(call("PUT", "/option/count", set, c.peer, c.headers).status,
              c.change == 0 ? 302 : c.change)
        << c.peer;
    EXPECT_EQ(call("POST", "/server-quit/0", {}, c.peer, c.headers).status, c.change) << c.peer;
    EXPECT_EQ(server.quit.exchange(0), c.change == 0 ? 1 : 0) << c.peer;
  }
}

// The names a Host may give for this machine: its host name, the first
// label of a long one, and the canonical name the resolver gives for it
// (long where the host name is short). Any other name is elsewhere.
TEST(MachineNames, HostNameFirstLabelAndCanonicalName) {
  using Names = std::vector<std::string>;
  const struct {
    const char *hostName, *canonicalName;
    Names names;
  } cases[] = {
      {"box", "box.lab.example", {"box", "box.lab.example"}},
      {"Box.Lab.Example", "box.lab.example.", {"box.lab.example", "box"}},
      {"box", "alias.example", {"box", "alias.example"}},
      {"box", "", {"box"}},
      {"box", "BOX", {"box"}},
      {"", "", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(hostNamesOf(c.hostName, c.canonicalName), c.names) << c.hostName;

  const Names own = hostNamesOf("box", "box.lab.example");
  const struct {
    const char* host;
    HostName name;
  } hosts[] = {
      {"box.lab.example", HostName::ThisMachine},  {"BOX.LAB.EXAMPLE.:8881", HostName::ThisMachine},
      {"box:1", HostName::ThisMachine},            {"box.lab", HostName::Elsewhere},
      {"box.elsewhere.example", HostName::Elsewhere}, {"lab.example", HostName::Elsewhere},
  };
  for (const auto& h : hosts) EXPECT_EQ(classifyHost(h.host, own), h.name) << h.host;
}

// Where an answer leaves a client ("from->to", from "?" for none; "" when it
// has no position of its own).
std::string stepOf(const ResponseInfo& response) {
  const std::optional<FollowStep>& step = response.followStep;
  if (!step) return "";
  return (step->from ? std::to_string(*step->from) : "?") + "->" + std::to_string(step->to);
}

// A waiting endpoint with nothing to answer asks to wait: until when, and
// for what. Run again (or stopped) it answers.
TEST_F(MonitorRoutes, WaitingEndpointsAskToWait) {
  server.waits.remoteDelayCap = std::chrono::milliseconds(50);
  server.waits.longPoll = std::chrono::hours(1);
  using std::chrono::steady_clock;
  const auto waitFor = [this](const char* path, Strings parameters, const char* peer,
                              std::stop_token stop = {}) {
    RequestInfo request;
    request.method = "GET";
    request.path = path;
    request.host = peer;
    request.parameters = std::move(parameters);
    request.stopToken = stop;
    ResponseInfo response;
    result = server.dispatchRequest(request, response);
    return std::pair{request, response};
  };
  const steady_clock::time_point before = steady_clock::now();
  for (const auto& [peer, longest] : {std::pair{"192.0.2.7", std::chrono::milliseconds(50)},
                                      std::pair{"127.0.0.1", std::chrono::milliseconds(INT_MAX)}}) {
    auto [request, response] = waitFor("/delay/2147483647", {}, peer);
    ASSERT_TRUE(response.wait) << peer;
    EXPECT_FALSE(response.wait->ready) << peer;  // time only
    EXPECT_LE(response.wait->until, steady_clock::now() + longest) << peer;
    EXPECT_GE(response.wait->until, before + longest) << peer;
    // Called again once its time has come.
    request.waitedUntil = steady_clock::now();
    ResponseInfo again;
    EXPECT_EQ((*server.routes.match(request))(request.stopToken, request, again), 0);
    EXPECT_FALSE(again.wait);
    EXPECT_EQ(again.body, "{\"dur\": 2147483647}");
  }
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(waitFor("/delay/99", {}, "127.0.0.1", stopped.get_token()).second.body,
            "{\"dur\": 99}");
  EXPECT_EQ(waitFor("/history/update", {}, "127.0.0.1", stopped.get_token()).second.status, 408);
  EXPECT_EQ(waitFor("/history/update", {{"last", "x1"}}, "127.0.0.1").second.status, 400);

  // A poll for the records after 0 waits until the listener notes a second.
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    history.push_back({{"it", "0"}});
  }
  const auto [request, response] = waitFor("/history/update", {{"last", "0"}}, "127.0.0.1");
  ASSERT_TRUE(response.wait && response.wait->ready);
  (*server.notify)(0);
  EXPECT_FALSE(response.wait->ready());
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    history.push_back({{"it", "1"}});
  }
  (*server.notify)(1);
  EXPECT_TRUE(response.wait->ready());
  // Stopped (the server closes), a poll still answers the records after its
  // position, and 408 only when there are none.
  // The 408 too leaves a client with a position where it was.
  const struct {
    Strings parameters;
    int status;
    std::string body;
    std::string step;
  } stops[] = {
      {{{"last", "0"}}, 0, "[\n{\"it\": \"1\"}\n]\n", "1->2"},
      {{{"last", "1"}}, 408, "", "2->2"},
      {{}, 0, "[\n{\"it\": \"0\"},\n{\"it\": \"1\"}\n]\n", ""},  // none delivered yet
      {{}, 408, "", ""},
  };
  for (const auto& c : stops) {
    const ResponseInfo stoppedPoll =
        waitFor("/history/update", c.parameters, "127.0.0.1", stopped.get_token()).second;
    EXPECT_EQ(std::tuple(stoppedPoll.status, stoppedPoll.bodyText(), stepOf(stoppedPoll)),
              std::tuple(c.status, c.body, c.step))
        << c.parameters["last"];
    EXPECT_FALSE(stoppedPoll.wait);
  }
}

// Each client with a position of its own gets every record after it, and
// the server learns where each answer leaves it; those without one share
// `delivered`.
TEST_F(MonitorRoutes, HistoryPositions) {
  const auto poll = [this](Strings parameters) {
    ResponseInfo response = call("GET", "/history/update", std::move(parameters));
    return (response.wait ? std::string("wait") : response.bodyText()) + stepOf(response);
  };
  const auto append = [this](const char* it) {
    std::lock_guard<std::mutex> lock(run.mutex);
    history.push_back({{"it", it}});
  };
  const ResponseInfo whole = call("GET", "/history");
  EXPECT_EQ(whole.bodyText() + stepOf(whole), "[\n]\n?->0");
  EXPECT_EQ(poll({{"last", "-1"}}), "wait0->0");  // where it waits
  EXPECT_EQ(poll({}), "wait");
  append("0");
  append("1");
  const struct {
    Strings parameters;
    std::string answer;
  } steps[] = {
      {{{"last", "-1"}}, "[\n{\"it\": \"0\"},\n{\"it\": \"1\"}\n]\n0->2"},
      {{{"last", "-1"}}, "[\n{\"it\": \"0\"},\n{\"it\": \"1\"}\n]\n0->2"},  // a second follower
      {{{"last", "0"}}, "[\n{\"it\": \"1\"}\n]\n1->2"},
      {{{"last", "1"}}, "wait2->2"},
      {{{"last", "99999999999999999999999"}}, "wait281474976710657->281474976710657"},
      {{}, "[\n{\"it\": \"0\"},\n{\"it\": \"1\"}\n]\n"},  // the first without a position
      {{}, "wait"},                                       // takes them from the next
  };
  for (const auto& step : steps)
    EXPECT_EQ(poll(step.parameters), step.answer) << step.parameters["last"];
  EXPECT_EQ(run.delivered, 2u);

  // Answers send from the one copy of the records, and keep their text
  // while the history grows past the room that copy had.
  const ResponseInfo early = call("GET", "/history");
  EXPECT_EQ(early.sharedBody.keeper,
            call("GET", "/history/update", {{"last", "0"}}).sharedBody.keeper);
  for (int i = 0; i < 1000; ++i) append("more");
  EXPECT_EQ(call("GET", "/history").bodyText().size(), early.bodyText().size() + 1000 * 16);
  EXPECT_EQ(early.bodyText(), "[\n{\"it\": \"0\"},\n{\"it\": \"1\"}\n]\n");
}

TEST(MonitorValues, DurationsAndOptionValues) {
  const struct {
    const char* digits;
    long long ms;
    const char* text;
  } durations[] = {{"0", 0, "0"},
                   {"000", 0, "0"},
                   {"0070", 70, "70"},
                   {"", 0, "0"},
                   {"2147483647", INT_MAX, "2147483647"},
                   {"99999999999", INT_MAX, "99999999999"}};
  for (const auto& d : durations) {
    const RequestedWait w = parseDuration(d.digits);
    EXPECT_EQ(w.wait.count(), d.ms) << d.digits;
    EXPECT_EQ(w.text, d.text) << d.digits;
  }
  EXPECT_EQ(parseDuration(std::string(5000, '9')).wait.count(), INT_MAX);

  FpTrapGuard traps;  // the monitor's threads run without, but need not
  const struct {
    const char* text;
    double value;  // NaN: refused
  } values[] = {{"0.5", 0.5},      {"-2", -2.0},  {"0x1p-2", 0.25}, {"1e999", kInf},
                {"-1e999", -kInf}, {"inf", kInf}, {"1e-999", 0.0},  {"1e-3x", kNaN},
                {"0,5", kNaN},     {"", kNaN},    {"nan", kNaN},    {" 3", 3.0},
                {"3 ", kNaN}};
  for (const auto& v : values) {
    const double got = parseOptionValue(v.text);
    EXPECT_TRUE(std::isnan(v.value) ? std::isnan(got) : got == v.value) << v.text;
  }
}

}  // namespace
