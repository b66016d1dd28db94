// The monitor started in this process through its entry points: ports,
// repeated starts and stops, and connections with threads of their own.

#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
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
  std::size_t n = 0;
  if (DIR* dir = opendir(folder)) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

int portOf(void* server) { return static_cast<HTTPServer*>(server)->boundPort; }

// Waits (bounded) until `count` requests have been read whole and not
// answered yet: waiting endpoints hold them.
bool requestsHeld(HTTPServer& server, std::size_t count = 1) {
  for (int i = 0; i < 10000; ++i) {
    std::size_t held = 0;
    {
      std::lock_guard<std::mutex> lock(server.connectionsMutex);
      for (const auto& entry : server.connections)
        held += entry.second->state == ConnState::RequestRead;
    }
    if (held >= count) return true;
    std::this_thread::sleep_for(1ms);
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
  void TearDown() override {
    unsetenv("ZELK_HTMLROOT");
    unsetenv("HTTP_PORT");
  }
  void* start() { return zelkcomp_start_httpd(data, history, run); }
};

TEST_F(MonitorThreaded, PortsAreTriedUpwardAndTakenBackAfterAStop) {
  const int base = freePortRun();
  ASSERT_NE(base, 0);
  setenv("HTTP_PORT", std::to_string(base).c_str(), 1);
  std::vector<Fd> taken;
  taken.push_back(listenOn(INADDR_ANY, base));
  void* server = start();
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(portOf(server), base + 1);
  EXPECT_EQ(statusLine(base + 1, "GET /data HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
  EXPECT_EQ(zelkcomp_stop_httpd(server), 0);

  // The served connection left the port in TIME_WAIT: it is taken back.
  taken.clear();
  server = start();
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(portOf(server), base);
  EXPECT_EQ(statusLine(base, "GET /data HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
  EXPECT_EQ(zelkcomp_stop_httpd(server), 0);

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
    EXPECT_TRUE(requestsHeld(*static_cast<HTTPServer*>(server)));
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

TEST_F(MonitorThreaded, ConnectionsWithThreadsOfTheirOwn) {
  OptionSlots none;
  HTTPServer server("0", "", 0);
  EXPECT_EQ(server.pool.workerCount, 0u);
  registerMonitorRoutes(server, {none, none, data, history, run});
  server.notify = std::make_unique<std::function<int(int)>>(
      [this](int tick) { return historyNotify(history, run, tick); });
  ASSERT_TRUE(server.setup());
  server.startListener();
  EXPECT_EQ(statusLine(server.boundPort, "GET /data/x HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
  // A poll is woken by the listener's notify and answered; another ends
  // with 408 at the stop, which joins every connection's thread.
  Fd answered = connectLoopback(server.boundPort);
  sendText(answered.get(), "GET /history/update HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(requestsHeld(server));
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    history.push_back({{"it", "0"}});
  }
  EXPECT_EQ(readUntilClosed(answered.get(), 10s).substr(0, 17), "HTTP/1.1 200 OK\r\n");
  Fd stopped = connectLoopback(server.boundPort);
  sendText(stopped.get(), "GET /history/update HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(requestsHeld(server));
  server.stop();
  EXPECT_EQ(readUntilClosed(stopped.get(), 10s).substr(0, 30), "HTTP/1.1 408 Request Timeout\r\n");
}

}  // namespace
