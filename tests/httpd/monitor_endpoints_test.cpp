// The monitor's routes called directly (no sockets) over small synthetic
// registries, data and history, and the pure pieces they are made of.

#include <climits>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <map>
#include <stop_token>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "httpd/http_server.h"
#include "httpd/monitor_endpoints.h"
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
    EXPECT_EQ(a.body, c.body) << c.path;
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
      {"GET", "/index.html", {}, 404, "File not found"},  // empty document root:
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

TEST_F(MonitorRoutes, ChangesOnlyFromThisMachineUnlessAllowed) {
  const Strings set{{"value", "5"}};
  const struct {
    const char* peer;
    Headers headers;
    bool allowRemote;
    int status;
  } cases[] = {
      {"127.0.0.1", {}, false, 302},
      {"127.255.0.9", {{"host", "127.0.0.1:1"}, {"origin", "https://[::1]"}}, false, 302},
      {"::1", {{"host", "[::1]:8881"}}, false, 302},
      {"::ffff:127.0.0.1", {{"host", "LocalHost"}, {"origin", "http://localhost:1"}}, false, 302},
      {"192.0.2.7", {}, false, 401},   {"::ffff:10.0.0.1", {}, false, 401},
      {"::2", {}, false, 401},         {"127.0.0.1 ", {}, false, 401},
      {"", {}, false, 401},  // peer unknown
      {"127.0.0.1", {{"host", "rebound.example:8881"}}, false, 401},
      {"127.0.0.1", {{"host", "localhost.example"}}, false, 401},
      {"127.0.0.1", {{"host", "::1"}}, false, 401}, {"127.0.0.1", {{"host", "[::1]x"}}, false, 401},
      {"127.0.0.1", {{"origin", "http://elsewhere.example"}}, false, 401},
      {"127.0.0.1", {{"origin", "http://localhost@evil.example"}}, false, 401},
      {"127.0.0.1", {{"origin", "null"}}, false, 401},
      {"192.0.2.7", {{"host", "monitor.example"}}, true, 302},
  };
  for (const auto& c : cases) {
    server.allowRemoteSet = c.allowRemote;
    EXPECT_EQ(call("PUT", "/option/count", set, c.peer, c.headers).status, c.status) << c.peer;
    const int refused = c.status == 401 ? 401 : 0;
    EXPECT_EQ(call("POST", "/server-quit/0", {}, c.peer, c.headers).status, refused) << c.peer;
    EXPECT_EQ(server.quit.exchange(0), c.status == 401 ? 0 : 1) << c.peer;
  }
}

// A peer on another host holds a worker for the cap at most; the
// loopback peer's delay is cut only by the stop.
TEST_F(MonitorRoutes, ARemoteDelayEndsAtTheCap) {
  server.waits.remoteDelayCap = std::chrono::milliseconds(1);
  for (const auto& [peer, remote] : {std::pair{"192.0.2.7", true}, std::pair{"127.0.0.1", false}}) {
    std::stop_source stop;
    auto answer = std::async(std::launch::async, [&] {
      RequestInfo request;
      request.method = "GET";
      request.path = "/delay/2147483647";
      request.host = peer;
      request.parameters = {{"dur", "2147483647"}};
      request.stopToken = stop.get_token();
      ResponseInfo response;
      server.dispatchRequest(request, response);
      return response.body;
    });
    // Generous against a loaded machine; a delay the cap missed lasts 24 days.
    const auto waited = answer.wait_for(std::chrono::seconds(remote ? 60 : 0));
    EXPECT_EQ(waited == std::future_status::ready, remote) << peer;
    stop.request_stop();
    EXPECT_EQ(answer.get(), "{\"dur\": 2147483647}") << peer;
  }
}

TEST(MonitorValues, DurationsAndOptionValues) {
  const struct {
    const char* digits;
    long long ms;
    const char* text;
  } durations[] = {{"0", 0, "0"}, {"000", 0, "0"}, {"0070", 70, "70"}, {"", 0, "0"},
                   {"2147483647", INT_MAX, "2147483647"}, {"99999999999", INT_MAX, "99999999999"}};
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
  } values[] = {{"0.5", 0.5},  {"-2", -2.0},   {"0x1p-2", 0.25}, {"1e999", kInf}, {"-1e999", -kInf},
                {"inf", kInf}, {"1e-999", 0.0}, {"1e-3x", kNaN},  {"0,5", kNaN},  {"", kNaN},
                {"nan", kNaN}, {" 3", 3.0},     {"3 ", kNaN}};
  for (const auto& v : values) {
    const double got = parseOptionValue(v.text);
    EXPECT_TRUE(std::isnan(v.value) ? std::isnan(got) : got == v.value) << v.text;
  }
}

}  // namespace
