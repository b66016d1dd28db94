// One connection served end to end over a socket pair (or a loopback TCP
// connection), with test routes: the exact answers, the reading rules and
// their deadlines, and sending to peers that read slowly, stall or reset.
// Then the monitor started in this process through its entry points: ports,
// and repeated starts and stops.

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/http_server.h"
#include "test_sockets.h"
#include "zelk/monitor.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;
const std::string kBig(4 << 20, 'z');

void addTestRoutes(HTTPServer& server) {
  const auto get = [&server](const char* pattern, auto fn, std::vector<std::string> names = {}) {
    server.routes.add("GET", pattern, makeEndPoint(std::move(names), fn));
  };
  // A failure (status 400 and up, with its message) or a success.
  const auto fixed = [&get](const char* path, int status, std::string text,
                            std::map<std::string, std::string> headers = {},
                            std::string type = "") {
    get(path, [=](const RequestInfo&, ResponseInfo& r) {
      r.status = status;
      (status >= 400 ? r.message : r.body) = text;
      r.headers = headers;
      r.contentType = type;
      return status >= 400 ? -1 : 0;
    });
  };
  fixed("/teapot", 418, "x");
  fixed("/quote", 418, "say \"hi\"");
  fixed("/moved", 302, "", {{"Location", "/elsewhere"}});
  fixed("/big", 0, kBig);
  fixed("/plain", 0, "ok", {}, "text/plain");
  const auto captures = [](const RequestInfo& q, ResponseInfo& r) {
    for (const char* name : {"whole", "pm1", "pm2", "a", "b"}) r.body += q.parameters[name] + "|";
    return 0;
  };
  get("/cap/([a-z]+)/([0-9]+)", captures, {"whole"});
  get("/throw", [](const RequestInfo&, ResponseInfo&) -> int { throw std::runtime_error("x"); });
  server.routes.add("POST", "/echo", makeEndPoint({}, [](const RequestInfo& q, ResponseInfo& r) {
                      r.body = q.parameters["v"] + " " + q.variables["CONTENT_LENGTH"] + " " +
                               std::to_string(q.variables["QUERY_DATA"].size());
                      return 0;
                    }));
  const auto wait = [](std::stop_token stop, const RequestInfo&, ResponseInfo&) {
    for (int i = 0; i < 1000 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(10ms);
    return -1;
  };
  server.routes.add("GET", "/wait", makeStoppableEndPoint({}, wait));
}

// A server whose deadlines are short enough for the test run.
struct ServeTest : testing::Test {
  HTTPServer server{"0", "/nonexistent"};
  long nextId = 1;

  ServeTest() {
    addTestRoutes(server);
    server.io.firstByte = server.io.sendStall = 300ms;
    server.io.wholeRequest = 600ms;
    server.io.linger = 200ms;
    server.io.slice = 20ms;
  }

  struct Served {
    Fd client;
    std::shared_ptr<RequestHandlerInfo> record;
    std::future<int> result;
  };

  // Hands the server end of a fresh connection to a pool worker.
  Served serve(bool tcp = false) {
    auto [client, socket] = tcp ? loopbackPair() : localPair();
    auto record = server.addConnection(nextId, socket, "peer", "1");
    return {std::move(client), std::move(record),
            server.pool.start(&HTTPServer::s_handleRequest, static_cast<void*>(&server), nextId++)};
  }

  static void expectFreed(Served& s) {
    ASSERT_EQ(s.result.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(s.record->state, ConnState::Closed);
  }
};

// The writer's answer to a failure with this status line and reason.
std::string errorAnswer(const std::string& status, const std::string& reason, bool close = false) {
  const std::string json = "{\"error\": \"" + reason + "\"}";
  return "HTTP/1.1 " + status + " " + reason + "\r\n" + (close ? "Connection: close\r\n" : "") +
         "Content-Length: " + std::to_string(json.size()) +
         "\r\nContent-Type: text/json\r\n\r\n" + json;
}

// A new connection to the port with this request ("GET /path") sent.
Fd sent(int port, const std::string& request) {
  Fd client = connectLoopback(port);
  sendText(client.get(), request + " HTTP/1.1\r\n\r\n");
  return client;
}

// The status line of what the peer sends until it closes.
std::string statusOf(const Fd& client) {
  const std::string answer = readUntilClosed(client.get(), kBound);
  return answer.substr(0, answer.find("\r\n"));
}

TEST_F(ServeTest, ExactAnswers) {
  const std::string ok =
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
  const struct {
    const char* request;
    std::string answer;
  } cases[] = {
      {"GET /teapot HTTP/1.1\r\n\r\n",
       "HTTP/1.1 418 x\r\nContent-Length: 14\r\nContent-Type: text/json\r\n\r\n{\"error\": \"x\"}"},
      {"GET /moved HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 302 OK\r\nLocation: /elsewhere\r\n\r\n"},
      {"GET /nowhere HTTP/1.0\r\n\r\n", errorAnswer("404", "Not found")},
      {"DELETE /teapot HTTP/1.1\r\n\r\n", errorAnswer("404", "Not found")},
      {"GET /quote HTTP/1.1\r\n\r\n",
       "HTTP/1.1 418 say \"hi\"\r\nContent-Length: 23\r\nContent-Type: text/json\r\n\r\n"
       "{\"error\": \"say \\\"hi\\\"\"}"},
      {"GET /cap/abc/42?a=1&b=x%41+y HTTP/1.1\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Length: 26\r\nContent-Type: text/json\r\n\r\n"
       "/cap/abc/42|abc|42|1|xA y|"},
      {"GET /plain\r\n\r\n", ok},
      {"BREW /plain HTTP/1.1\r\n\r\n", errorAnswer("501", "Invalid HTTP method")},
      {"GET /plain HTTP/2.0\r\n\r\n", errorAnswer("501", "HTTP Version is not supported")},
      {"GET\r\n\r\n", errorAnswer("501", "Invalid request status line")},
      // A throwing endpoint is answered, and the next request served.
      {"GET /throw HTTP/1.1\r\n\r\n", errorAnswer("500", "Internal Server Error")},
      {"GET /plain HTTP/1.1\r\n\r\n", ok},
  };
  for (const auto& c : cases) {
    Served s = serve();
    sendText(s.client.get(), c.request);
    EXPECT_EQ(readUntilClosed(s.client.get()), c.answer) << c.request;
    expectFreed(s);
  }
}

TEST_F(ServeTest, RequestsArrivingInPiecesAreReadWhole) {
  server.io.firstByte = server.io.wholeRequest = 5s;  // room for the pauses on a loaded machine
  const std::string post = "POST /echo HTTP/1.1\r\nContent-Type: ";
  const struct {
    std::vector<std::string> pieces;  // sent with pauses between them
    std::string ending;
  } cases[] = {
      {{"GET /pla", "in HTTP/1.1\r\nHost: h\r", "\n\r\n"}, "\r\n\r\nok"},
      {{post + "application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\n", "v=hello"},
       "\r\n\r\nhello 7 7"},
      {{post + "multipart/form-data\r\nContent-Length: 3145728\r\n\r\n" + std::string(3 << 20, 0)},
       "\r\n\r\n 3145728 3145728"},
  };
  for (const auto& c : cases) {
    Served s = serve();
    for (const std::string& piece : c.pieces)
      sendText(s.client.get(), piece), std::this_thread::sleep_for(150ms);
    const std::string answer = readUntilClosed(s.client.get());
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 80);
    EXPECT_TRUE(answer.ends_with(c.ending)) << c.ending;
    expectFreed(s);
  }
}

// Over TCP, so that a close with unread input would show as a reset.
TEST_F(ServeTest, RefusedRequestsAreAnsweredNotReset) {
  const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: ";
  const std::string hugeHeader = "GET /plain HTTP/1.1\r\nX: " + std::string(3 << 13, 'x');
  const struct {
    std::string request;
    bool shutWrite;
    std::string answer;
  } cases[] = {
      {hugeHeader, false, errorAnswer("501", "Request header too large")},
      {head + "99999999999999999999\r\n\r\n", false, errorAnswer("501", "Request too large")},
      {head + "16777217\r\n\r\n", false, errorAnswer("501", "Request too large")},
      {head + "-5\r\n\r\n", false, errorAnswer("501", "Invalid Content-Length")},
      {head + "12abc\r\n\r\n", false, errorAnswer("501", "Invalid Content-Length")},
      {head + "20\r\n\r\nv=abc", true, errorAnswer("501", "Internal Server Error")},
      {head + "20\r\n\r\nv=abc", false, errorAnswer("408", "Request Timeout", true)},
      {std::string(1024, 'G'), false, errorAnswer("408", "Request Timeout", true)},
      {"POST /echo HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n", false,
       errorAnswer("501", "Internal Server Error")},
  };
  for (const auto& c : cases) {
    Served s = serve(true);
    sendText(s.client.get(), c.request);
    if (c.shutWrite) ::shutdown(s.client.get(), SHUT_WR);
    int endError = -1;
    EXPECT_EQ(readUntilClosed(s.client.get(), kBound, &endError), c.answer)
        << c.request.substr(0, 60);
    EXPECT_EQ(endError, 0) << "reset after " << c.request.substr(0, 60);
    expectFreed(s);
  }
}

// What the listener does when it sees the peer close: flags and a stop.
TEST_F(ServeTest, AnsweredUnlessNobodyIsLeftToRead) {
  const struct {
    const char* request;
    int flags;
    bool answered;
  } cases[] = {
      {"GET /plain HTTP/1.1\r\n\r\n", ConnFlag::PeerClosed, true},  // half-closed: still reads
      {"GET /wait HTTP/1.1\r\n\r\n", ConnFlag::PeerClosed, false},
      {"GET /plain HTTP/1.1\r\n\r\n", ConnFlag::PeerClosed | ConnFlag::SocketError, false},
  };
  for (const auto& c : cases) {
    Served s = serve();
    s.record->flags |= c.flags;
    sendText(s.client.get(), c.request);
    ::shutdown(s.client.get(), SHUT_WR);
    s.record->stop.request_stop();
    EXPECT_EQ(statusOf(s.client), c.answered ? "HTTP/1.1 200 OK" : "")
        << c.request;
    expectFreed(s);
  }
}

// A 4 MiB answer: a slow reader receives all of it; one that stalls, closes
// or resets frees the worker, and the process lives on (no SIGPIPE).
TEST_F(ServeTest, ReadersOfALargeAnswer) {
  for (const int mode : {0, 1, 2, 3}) {  // slow, stall, close, reset
    server.io.sendStall = mode == 0 ? 5s : 300ms;
    Served s = serve(mode == 3);
    sendText(s.client.get(), "GET /big HTTP/1.1\r\n\r\n");
    std::string answer;
    char buf[256 << 10];
    for (int reads = 0; mode != 1 && reads < 10000; ++reads) {
      std::this_thread::sleep_for(2ms);
      const ssize_t n = ::recv(s.client.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) answer.append(buf, static_cast<std::size_t>(n));
      if (n == 0 || (n > 0 && mode > 1)) break;
    }
    const linger reset{1, 0};
    if (mode == 3) ::setsockopt(s.client.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (mode > 1) s.client.reset();
    EXPECT_EQ(mode == 0, answer.ends_with(kBig)) << mode;
    expectFreed(s);
  }
}

TEST_F(ServeTest, WithTheDefaultDeadlinesASilentPeerGets408AndALateRequestIsServed) {
  server.io = ConnectionIOSettings{};
  Served silent = serve();
  Served late = serve();
  std::this_thread::sleep_for(300ms);
  sendText(late.client.get(), "GET /plain HTTP/1.1\r\n\r\n");
  EXPECT_EQ(statusOf(late.client), "HTTP/1.1 200 OK");
  EXPECT_EQ(readUntilClosed(silent.client.get()), errorAnswer("408", "Request Timeout", true));
  expectFreed(late);
  silent.client.reset();  // ends the worker's linger at once
  expectFreed(silent);
}

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
    // ZELK_HTMLROOT set to "": no files, though the build folder has them.
    EXPECT_EQ(statusOf(sent(expected, "GET /index.html")), "HTTP/1.1 404 File not found");
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
    EXPECT_EQ(statusOf(sent(p, "GET /status")), "HTTP/1.1 200 OK");
    EXPECT_EQ(statusOf(sent(p, "POST /server-quit/100000")), "HTTP/1.1 200 OK");
    EXPECT_TRUE(static_cast<HTTPServer*>(server)->delayedQuit.pending());
    Fd poll = sent(p, "GET /history/update");
    EXPECT_TRUE(requestHeld(*static_cast<HTTPServer*>(server)));
    Fd idle = connectLoopback(p);
    EXPECT_EQ(zelkcomp_stop_httpd(server), 0);
    EXPECT_EQ(statusOf(poll), "HTTP/1.1 408 Request Timeout");
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

}  // namespace
