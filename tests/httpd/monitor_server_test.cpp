// The monitor started in this process through its entry points: ports,
// repeated starts and stops, and connections with threads of their own.

#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
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

// Sets an environment variable for a scope, and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A listening socket on port (all IPv4 interfaces), or an empty Fd when the
// port is taken. Connections of an earlier server in TIME_WAIT do not count.
Fd occupy(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 1) != 0)
    return Fd();
  return fd;
}

// A port P with P .. P+10 all free just now, or 0.
int freePortRun() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    Fd probe = occupy(0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    const int base = ntohs(addr.sin_port);
    probe.reset();
    if (base + 10 > 65535) continue;
    bool free = true;
    for (int p = base; p <= base + 10 && free; ++p) free = occupy(p).get() >= 0;
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

struct LentRun {
  std::valarray<double> x{1.0, 2.0};
  MonitorDataMap data{{"x", &x}};
  IterationHistory history;
  RunInfo run;
};

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

// The index of the first of the clients with something to read (bounded).
std::size_t firstReadable(const std::vector<Fd>& clients) {
  std::vector<pollfd> entries;
  for (const Fd& c : clients) entries.push_back(pollfd{c.get(), POLLIN, 0});
  if (::poll(entries.data(), entries.size(), 10000) > 0)
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i].revents) return i;
  return clients.size();
}

std::string exchange(int port, const std::string& request) {
  Fd client = connectLoopback(port);
  sendText(client.get(), request);
  return readUntilClosed(client.get(), 10s);
}

TEST(MonitorThreaded, PortsAreTriedUpwardAndTakenBackAfterAStop) {
  const ScopedEnv noFiles("ZELK_HTMLROOT", "");
  const int base = freePortRun();
  ASSERT_NE(base, 0);
  const ScopedEnv port("HTTP_PORT", std::to_string(base));
  LentRun r;
  std::vector<Fd> taken;
  taken.push_back(occupy(base));
  void* server = zelkcomp_start_httpd(r.data, r.history, r.run);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(portOf(server), base + 1);
  EXPECT_EQ(exchange(base + 1, "GET /data HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(zelkcomp_stop_httpd(server), 0);

  // The served connection left the port in TIME_WAIT: it is taken back.
  taken.clear();
  server = zelkcomp_start_httpd(r.data, r.history, r.run);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(portOf(server), base);
  EXPECT_EQ(exchange(base, "GET /data HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(zelkcomp_stop_httpd(server), 0);
  server = zelkcomp_start_httpd(r.data, r.history, r.run);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(portOf(server), base);
  zelkcomp_stop_httpd(server);

  for (int p = base; p < base + 10; ++p) {
    taken.push_back(occupy(p));
    ASSERT_GE(taken.back().get(), 0) << p;
  }
  EXPECT_EQ(zelkcomp_start_httpd(r.data, r.history, r.run), nullptr);
}

TEST(MonitorThreaded, StartStopCyclesLeaveNothingBehind) {
  const ScopedEnv noFiles("ZELK_HTMLROOT", "");
  const ScopedEnv port("HTTP_PORT", "0");
  LentRun r;
  const auto cycle = [&r] {
    void* server = zelkcomp_start_httpd(r.data, r.history, r.run);
    ASSERT_NE(server, nullptr);
    const int p = portOf(server);
    EXPECT_EQ(exchange(p, "GET /status HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(exchange(p, "POST /server-quit/100000 HTTP/1.1\r\n\r\n").substr(0, 15),
              "HTTP/1.1 200 OK");
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

TEST(MonitorThreaded, ConnectionsWithThreadsOfTheirOwn) {
  LentRun r;
  OptionSlots none;
  HTTPServer server("0", "", 0);
  EXPECT_EQ(server.pool.workerCount, 0u);
  registerMonitorRoutes(server, {none, none, r.data, r.history, r.run});
  server.notify = std::make_unique<std::function<int(int)>>(
      [&r](int tick) { return historyNotify(r.history, r.run, tick); });
  ASSERT_TRUE(server.setup());
  server.startListener();
  EXPECT_EQ(exchange(server.boundPort, "GET /data/x HTTP/1.1\r\n\r\n").substr(0, 15),
            "HTTP/1.1 200 OK");
  std::vector<Fd> polls;
  for (int i = 0; i < 7; ++i) {
    polls.push_back(connectLoopback(server.boundPort));
    sendText(polls.back().get(), "GET /history/update HTTP/1.1\r\n\r\n");
  }
  ASSERT_TRUE(requestsHeld(server, polls.size()));
  {
    std::lock_guard<std::mutex> lock(r.run.mutex);
    r.history.push_back({{"it", "0"}});
  }
  // One poll takes the record; the stop ends the others with 408.
  const std::size_t first = firstReadable(polls);
  ASSERT_LT(first, polls.size());
  EXPECT_EQ(readUntilClosed(polls[first].get(), 10s).substr(0, 17), "HTTP/1.1 200 OK\r\n");
  server.stop();
  for (std::size_t i = 0; i < polls.size(); ++i) {
    if (i == first) continue;
    EXPECT_EQ(readUntilClosed(polls[i].get(), 10s).substr(0, 30),
              "HTTP/1.1 408 Request Timeout\r\n");
  }
}

}  // namespace
