// The monitor started in this process through its entry points: ports,
// repeated starts and stops, and connections with threads of their own.

#include <netinet/in.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/http_server.h"
#include "httpd/monitor_routes.h"
#include "test_sockets.h"
#include "zelk/monitor.h"

namespace {

using namespace std::chrono_literals;

// A port P with P .. P+10 all free just now, or 0.
int freePortRun() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int base = boundPortOf(listenOn(INADDR_ANY, 0).get());
    bool free = base > 0 && base + 10 <= 65535;
    for (int p = base; p <= base + 10 && free; ++p) free = listenOn(INADDR_ANY, p).get() >= 0;
    if (free) return base;
  }
  return 0;
}

std::size_t entries(const char* folder) {
  return std::distance(std::filesystem::directory_iterator(folder), {});
}

int portOf(void* server) { return static_cast<HTTPServer*>(server)->boundPort; }

// Waits (bounded) until a request has been read whole and not answered yet:
// a waiting endpoint holds it.
bool requestHeld(HTTPServer& server) {
  for (int i = 0; i < 10000; ++i, std::this_thread::sleep_for(1ms)) {
    std::lock_guard<std::mutex> lock(server.connectionsMutex);
    for (const auto& entry : server.connections)
      if (entry.second->state == ConnState::RequestRead) return true;
  }
  return false;
}

// The status line of the answer to one request.
std::string statusLine(int port, const std::string& request) {
  Fd client = connectLoopback(port);
  sendText(client.get(), request);
  const std::string answer = readUntilClosed(client.get(), 10s);
  return answer.substr(0, answer.find("\r\n"));
}

// Servers over a small lent run, on the port HTTP_PORT names (an ephemeral
// one unless a test says otherwise), serving no files.
struct MonitorThreaded : testing::Test {
  std::valarray<double> x{1.0, 2.0};
  MonitorDataMap data{{"x", &x}};
  IterationHistory history;
  RunInfo run;

  void SetUp() override {
    setenv("ZELK_HTMLROOT", "", 1);
    setenv("HTTP_PORT", "0", 1);
  }
  void* start() { return zelkcomp_start_httpd(data, history, run); }
};

TEST_F(MonitorThreaded, PortsAreTriedUpwardAndTakenBackAfterAStop) {
  const int base = freePortRun();
  ASSERT_NE(base, 0);
  setenv("HTTP_PORT", std::to_string(base).c_str(), 1);
  std::vector<Fd> taken;
  taken.push_back(listenOn(INADDR_ANY, base));
  // Base taken: the next one. Base free again: taken back.
  for (const int expected : {base + 1, base}) {
    void* server = start();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(portOf(server), expected);
    EXPECT_EQ(statusLine(expected, "GET /data HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(zelkcomp_stop_httpd(server), 0);
    taken.clear();
  }
  for (int p = base; p < base + 10; ++p) {
    taken.push_back(listenOn(INADDR_ANY, p));
    ASSERT_GE(taken.back().get(), 0) << p;
  }
  EXPECT_EQ(start(), nullptr);
}

TEST_F(MonitorThreaded, StartStopCyclesLeaveNothingBehind) {
  const auto cycle = [this] {
    void* server = start();
    ASSERT_NE(server, nullptr);
    const int p = portOf(server);
    EXPECT_EQ(statusLine(p, "GET /status HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(statusLine(p, "POST /server-quit/100000 HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_TRUE(static_cast<HTTPServer*>(server)->delayedQuit.pending());
    Fd poll = connectLoopback(p);
    sendText(poll.get(), "GET /history/update HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(requestHeld(*static_cast<HTTPServer*>(server)));
    Fd idle = connectLoopback(p);
    EXPECT_EQ(zelkcomp_stop_httpd(server), 0);
    EXPECT_EQ(readUntilClosed(poll.get(), 10s).substr(0, 30), "HTTP/1.1 408 Request Timeout\r\n");
    EXPECT_EQ(zelkcomp_stop_httpd(server), 0);  // a stale handle is harmless
  };
  cycle();
  const std::size_t fds = entries("/proc/self/fd");
  const std::size_t threads = entries("/proc/self/task");
  for (int i = 0; i < 50; ++i) cycle();
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_EQ(zelkcomp_stop_httpd(nullptr), 0);
  EXPECT_EQ(zelkcomp_wait_httpd(nullptr), 0);
}

// Without a pool each connection has a thread of its own; the stop ends a
// held poll with 408 and joins them all.
TEST_F(MonitorThreaded, ConnectionsWithThreadsOfTheirOwn) {
  OptionSlots none;
  HTTPServer server("0", "", 0);
  registerMonitorRoutes(server, {none, none, data, history, run});
  ASSERT_TRUE(server.setup());
  server.startListener();
  EXPECT_EQ(statusLine(server.boundPort, "GET /data/x HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
  Fd poll = connectLoopback(server.boundPort);
  sendText(poll.get(), "GET /history/update HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(requestHeld(server));
  server.stop();
  EXPECT_EQ(readUntilClosed(poll.get(), 10s).substr(0, 30), "HTTP/1.1 408 Request Timeout\r\n");
}

}  // namespace
