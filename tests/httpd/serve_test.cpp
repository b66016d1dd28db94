// Connections served end to end by a running server with test routes, over
// 127.0.0.1: the exact answers, the reading rules and their deadlines,
// waiting endpoints, sending to peers that read slowly, stall or reset, and
// what a stop answers. Then the monitor started in this process through its
// entry points: ports, and repeated starts and stops.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "httpd/http_server.h"
#include "test_sockets.h"
#include "zelk/monitor.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;
const std::string kBig(4 << 20, 'z');

// Answers at once with "woke" when it runs again or is stopped; else waits
// for ten seconds.
int waitRoute(std::stop_token stop, const RequestInfo& request, ResponseInfo& response) {
  if (stop.stop_requested() || request.waitedUntil) {
    response.body = "woke";
    return 0;
  }
  response.wait = EndpointWait{std::chrono::steady_clock::now() + 10s, nullptr};
  return 0;
}

// Answers "rested" when it runs again, 50 ms after its first run.
int napRoute(std::stop_token, const RequestInfo& request, ResponseInfo& response) {
  if (request.waitedUntil) {
    response.body = "rested";
    return 0;
  }
  response.wait = EndpointWait{std::chrono::steady_clock::now() + 50ms, nullptr};
  return 0;
}

// Holds its worker until its connection is stopped.
int gateRoute(std::stop_token stop, const RequestInfo&, ResponseInfo& response) {
  for (int i = 0; i < 1000 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(10ms);
  response.body = "gate";
  return 0;
}

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
  // A quarter of it, in text that every answer shares.
  static const auto shared = std::make_shared<const std::string>(kBig.substr(0, kBig.size() / 4));
  get("/shared", [](const RequestInfo&, ResponseInfo& r) {
    r.sharedBody = SharedText{shared, *shared, shared->size()};
    return 0;
  });
  fixed("/plain", 0, "ok", {}, "text/plain");
  const auto captures = [](const RequestInfo& q, ResponseInfo& r) {
    for (const char* name : {"whole", "pm1", "pm2", "a", "b"}) r.body += q.parameters[name] + "|";
    return 0;
  };
  get("/cap/([a-z]+)/([0-9]+)", captures, {"whole"});
  get("/throw", [](const RequestInfo&, ResponseInfo&) -> int { throw std::runtime_error("x"); });
  server.routes.add("POST", "/echo",
                    makeEndPoint(
                        {},
                        [](const RequestInfo& q, ResponseInfo& r) {
                          r.body = q.parameters["v"] + " " + q.variables["CONTENT_LENGTH"] + " " +
                                   std::to_string(q.variables["QUERY_DATA"].size());
                          return 0;
                        },
                        EndpointTraits{.takesForm = true}));
  server.routes.add("GET", "/follow",
                    makeEndPoint(
                        {},
                        [](const RequestInfo&, ResponseInfo& r) {
                          r.body = "next";
                          return 0;
                        },
                        EndpointTraits{.followed = true}));
  server.routes.add("GET", "/wait", makeStoppableEndPoint({}, waitRoute));
  server.routes.add("GET", "/gate", makeStoppableEndPoint({}, gateRoute));
  server.routes.add("GET", "/nap", makeStoppableEndPoint({}, napRoute));
}

// Up to 30 s in passes of 1 ms at least, for a loaded machine.
constexpr int kPasses = 30000;
bool inTime(int pass, std::chrono::steady_clock::time_point started) {
  return pass < kPasses && std::chrono::steady_clock::now() - started < 30s;
}

// Waits (bounded) until the table holds no more than `count` connections:
// the others served, closed and reaped.
bool heldDownTo(HTTPServer& server, std::size_t count) {
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; inTime(i, started); ++i, std::this_thread::sleep_for(1ms)) {
    std::lock_guard<std::mutex> lock(server.connectionsMutex);
    if (server.connections.size() <= count) return true;
  }
  return false;
}
bool allReaped(HTTPServer& server) { return heldDownTo(server, 0); }

// Waits (bounded) until `count` connections are in `state`: parked
// (Waiting), say, or with their answers' rest handed to the listener
// (Writing).
bool inState(HTTPServer& server, int state, std::size_t count) {
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; inTime(i, started); ++i, std::this_thread::sleep_for(1ms)) {
    std::lock_guard<std::mutex> lock(server.connectionsMutex);
    if (std::count_if(server.connections.begin(), server.connections.end(),
                      [state](const auto& entry) { return entry.second->state == state; }) >=
        static_cast<std::ptrdiff_t>(count))
      return true;
  }
  return false;
}

// A running server whose deadlines are short enough for the test run.
struct ServeTest : testing::Test {
  HTTPServer server{"0", "/nonexistent"};

  ServeTest() {
    addTestRoutes(server);
    server.io.firstByte = server.io.sendStall = 300ms;
    server.io.wholeRequest = 600ms;
    server.io.linger = 200ms;
    server.io.slice = 20ms;
  }
  void SetUp() override {
    ASSERT_TRUE(server.setup());
    server.startListener();
  }
  Fd connect() { return connectLoopback(server.boundPort); }
  Fd sending(std::string_view request) {
    Fd client = connect();
    sendText(client.get(), request);
    return client;
  }
};

// The exact answer with this status line, the endpoint's headers and body:
// the headers every answer has, the content headers when there is a body,
// all in byte order of their names.
std::string answerOf(const std::string& statusLine, const std::string& body,
                     std::map<std::string, std::string> headers = {}) {
  headers.emplace("Connection", "close");
  headers.emplace("X-Content-Type-Options", "nosniff");
  headers.emplace("Content-Security-Policy", "frame-ancestors 'none'");
  if (!body.empty()) {
    headers.emplace("Content-Type", "text/json");
    headers.emplace("Content-Length", std::to_string(body.size()));
  }
  std::string out = "HTTP/1.1 " + statusLine + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  return out + "\r\n" + body;
}

// The writer's answer to a failure with this status line and message.
std::string errorAnswer(const std::string& statusLine, const std::string& message) {
  return answerOf(statusLine, "{\"error\": \"" + message + "\"}");
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
  const std::string ok = answerOf("200 OK", "ok", {{"Content-Type", "text/plain"}});
  const struct {
    const char* request;
    std::string answer;
  } cases[] = {
      {"GET /teapot HTTP/1.1\r\n\r\n", errorAnswer("418 I'm a teapot", "x")},
      {"GET /moved HTTP/1.1\r\nHost:localhost:1\r\n\r\n",
       answerOf("302 Found", "", {{"Location", "/elsewhere"}})},
      {"GET /nowhere HTTP/1.0\r\n\r\n", errorAnswer("404 Not Found", "Not found")},
      {"DELETE /teapot HTTP/1.1\r\n\r\n", errorAnswer("404 Not Found", "Not found")},
      {"GET /quote HTTP/1.1\r\n\r\n", errorAnswer("418 I'm a teapot", "say \\\"hi\\\"")},
      {"GET /cap/abc/42?a=1&b=x%41+y HTTP/1.1\r\n\r\n",
       answerOf("200 OK", "/cap/abc/42|abc|42|1|xA y|")},
      {"GET /plain\r\n\r\n", ok},
      {"BREW /plain HTTP/1.1\r\n\r\n", errorAnswer("501 Not Implemented", "Invalid HTTP method")},
      {"GET /plain HTTP/2.0\r\n\r\n",
       errorAnswer("501 Not Implemented", "HTTP Version is not supported")},
      {"GET\r\n\r\n", errorAnswer("501 Not Implemented", "Invalid request status line")},
      {"GET /plain HTTP/1.1\r\nHost: elsewhere.example\r\n\r\n",
       errorAnswer("421 Misdirected Request", "Misdirected Request")},
      {"GET /plain HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: 127.0.0.1\r\n\r\n",
       errorAnswer("400 Bad Request", "Repeated header field")},
      {"GET /plain HTTP/1.1\r\nX: a\x01z\r\n\r\n",
       errorAnswer("400 Bad Request", "Invalid header field")},
      {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
       errorAnswer("501 Not Implemented", "Transfer-Encoding not supported")},
      // A throwing endpoint is answered, and the next request served.
      {"GET /throw HTTP/1.1\r\n\r\n",
       errorAnswer("500 Internal Server Error", "Internal Server Error")},
      {"GET /plain HTTP/1.1\r\n\r\n", ok},
  };
  for (const auto& c : cases) {
    const Fd client = sending(c.request);
    EXPECT_EQ(readUntilClosed(client.get()), c.answer) << c.request;
  }
  EXPECT_TRUE(allReaped(server));
}

TEST_F(ServeTest, RequestsArrivingInPiecesAreReadWhole) {
  server.io.firstByte = server.io.wholeRequest = 5s;  // room for the pauses on a loaded machine
  const std::string post =
      "POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  const struct {
    std::vector<std::string> pieces;  // sent with pauses between them
    std::string ending;
  } cases[] = {
      {{"GET /pla", "in HTTP/1.1\r\nHost: localhost\r", "\n\r\n"}, "\r\n\r\nok"},
      {{post + "Content-Length: 7\r\n\r\n", "v=hello"}, "\r\n\r\nhello 7 7"},
      {{post + "Content-Length:3145728\r\n\r\n" + std::string(3 << 20, 'v')},
       "\r\n\r\n 3145728 3145728"},
  };
  for (const auto& c : cases) {
    const Fd client = connect();
    for (const std::string& piece : c.pieces)
      sendText(client.get(), piece), std::this_thread::sleep_for(150ms);
    const std::string answer = readUntilClosed(client.get());
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 80);
    EXPECT_TRUE(answer.ends_with(c.ending)) << c.ending;
  }
  EXPECT_TRUE(allReaped(server));
}

// A close with unread input would show as a reset.
TEST_F(ServeTest, RefusedRequestsAreAnsweredNotReset) {
  const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: ";
  const std::string hugeHeader = "GET /plain HTTP/1.1\r\nX: " + std::string(3 << 13, 'x');
  const std::string timedOut = errorAnswer("408 Request Timeout", "Request Timeout");
  const std::string notImplemented = errorAnswer("501 Not Implemented", "Internal Server Error");
  const struct {
    std::string request;
    bool shutWrite;
    std::string answer;
  } cases[] = {
      {hugeHeader, false, errorAnswer("501 Not Implemented", "Request header too large")},
      {head + "99999999999999999999\r\n\r\n", false,
       errorAnswer("501 Not Implemented", "Request too large")},
      {head + "16777217\r\n\r\n", false, errorAnswer("501 Not Implemented", "Request too large")},
      {head + "-5\r\n\r\n", false, errorAnswer("501 Not Implemented", "Invalid Content-Length")},
      {head + "12abc\r\n\r\n", false, errorAnswer("501 Not Implemented", "Invalid Content-Length")},
      {head + "20\r\n\r\nv=abc", true, notImplemented},  // the body ends short
      {head + "20\r\n\r\nv=abc", false, timedOut},
      {std::string(1024, 'G'), false, timedOut},
      {"POST /echo HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n", false, notImplemented},
      // Refused before a byte of its body is read; the body is drained.
      {"POST /plain HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + std::string(1000000, 'b'), false,
       errorAnswer("404 Not Found", "Not found")},
  };
  for (const auto& c : cases) {
    const Fd client = sending(c.request);
    if (c.shutWrite) ::shutdown(client.get(), SHUT_WR);
    int endError = -1;
    EXPECT_EQ(readUntilClosed(client.get(), kBound, &endError), c.answer)
        << c.request.substr(0, 60);
    EXPECT_EQ(endError, 0) << "reset after " << c.request.substr(0, 60);
  }
  EXPECT_TRUE(allReaped(server));
}

// A peer that half-closes after its request still reads its answer; one
// that goes while its endpoint waits leaves nobody to answer.
TEST_F(ServeTest, AHalfClosedPeerIsAnsweredUnlessItsEndpointWaits) {
  const struct {
    const char* request;
    std::string answered;
  } cases[] = {
      {"GET /plain HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /wait HTTP/1.1\r\n\r\n", ""},
  };
  for (const auto& c : cases) {
    const Fd client = sending(c.request);
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_EQ(statusOf(client), c.answered) << c.request;
  }
  EXPECT_TRUE(allReaped(server));
}

// A 4 MiB answer: a slow reader receives all of it within the answer's
// budget; one that reads steadily but too slowly for the budget, stalls,
// closes or resets frees the worker, and the process lives on (no SIGPIPE).
TEST_F(ServeTest, ReadersOfALargeAnswer) {
  enum End { ReadAll, Close, Reset };
  const struct {
    const char* reader;
    std::chrono::milliseconds stall, budget;
    std::size_t chunk;  // read every 2 ms for 800 ms, then how it ends
    End end;
    bool whole;
  } cases[] = {
      {"slow", 5s, 10s, 16 << 10, ReadAll, true},
      {"over its budget", 5s, 300ms, 256, ReadAll, false},
      {"stalled", 300ms, 10s, 0, ReadAll, false},
      {"closing", 300ms, 10s, 16 << 10, Close, false},
      {"resetting", 300ms, 10s, 16 << 10, Reset, false},
  };
  for (const auto& c : cases) {
    server.io.sendStall = c.stall;
    server.io.sendBudget = c.budget;
    server.io.minSendRate = std::size_t(1) << 40;  // the budget is the time alone
    Fd client = connectSmallWindow(server.boundPort);
    sendText(client.get(), "GET /big HTTP/1.1\r\n\r\n");
    std::string answer;
    char buf[16 << 10];
    for (int reads = 0; reads < 400; ++reads) {
      std::this_thread::sleep_for(2ms);
      const ssize_t n =
          c.chunk > 0 ? ::recv(client.get(), buf, c.chunk, MSG_DONTWAIT) : ssize_t{-1};
      if (n > 0) answer.append(buf, static_cast<std::size_t>(n));
      if (n == 0 || (n > 0 && c.end != ReadAll)) break;
    }
    if (c.end == ReadAll) answer += readUntilClosed(client.get(), kBound);
    const linger reset{1, 0};
    if (c.end == Reset) ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    client.reset();
    EXPECT_EQ(answer.ends_with(kBig), c.whole) << c.reader;
    EXPECT_TRUE(allReaped(server)) << c.reader;
  }
}

// Small-window peers that have sent their request.
std::vector<Fd> readersOf(int port, const char* request, int count) {
  std::vector<Fd> readers;
  for (int i = 0; i < count; ++i) {
    readers.push_back(connectSmallWindow(port));
    sendText(readers.back().get(), request);
  }
  return readers;
}

// More readers than workers take nothing of a 4 MiB answer for a while:
// they hold no worker, so no new request waits for one of them (that would
// be as long as the no-progress rule lets them be), and each of them gets
// its whole answer once they all read.
TEST_F(ServeTest, ReadersThatWaitHoldNoWorker) {
  server.io.sendStall = 5s;
  const std::vector<Fd> readers = readersOf(server.boundPort, "GET /big HTTP/1.1\r\n\r\n", 8);
  std::this_thread::sleep_for(300ms);
  for (int i = 0; i < 10; ++i) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(statusOf(sending("GET /plain HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK") << i;
    EXPECT_LT(std::chrono::steady_clock::now() - started, server.io.sendStall / 2) << i;
  }
  for (const std::string& answer : readSideBySide(readers)) EXPECT_TRUE(answer.ends_with(kBig));
  EXPECT_TRUE(allReaped(server));
}

// Readers at the budget's rate get every byte of an answer longer than the
// kernel takes at once, side by side. They are judged by what they take:
// what the kernel had taken for them moved on only once they had read a
// third of its megabytes of buffer, too late for the no-progress rule. The
// default 10 MB at 64 KiB/s against 10 s, scaled: 4 MiB at 256 KiB/s
// against 2.5 s (more than a loaded machine holds a reader up; less than
// half of what a reader then waited for the next send).
TEST_F(ServeTest, ReadersAtTheBudgetsRateGetEveryByte) {
  server.io.minSendRate = 256 << 10;
  server.io.sendStall = 2500ms;
  std::vector<Fd> readers;
  for (int i = 0; i < 3; ++i) readers.push_back(sending("GET /big HTTP/1.1\r\n\r\n"));
  for (const std::string& answer : readSideBySide(readers, server.io.minSendRate))
    EXPECT_TRUE(answer.ends_with(kBig)) << answer.size();
  EXPECT_TRUE(allReaped(server));
}

// More readers than the cap on answers' bytes can hold, none reading until
// all are answered: each answer is whole, or 503 before its first byte,
// never one cut after its head. Text that answers share counts once.
TEST_F(ServeTest, AnswersPastTheCapAreRefusedBeforeTheirFirstByte) {
  server.io.sendStall = 60s;  // readers that wait for all to be answered, however long
  server.io.maxSendingBytes = 3 * kBig.size() + 4096;  // three answers of /big
  const std::string busy =
      answerOf("503 Service Unavailable", "{\"error\": \"Busy sending other answers\"}",
               {{"Retry-After", "1"}});
  const struct {
    const char* request;
    int readers, whole;
    std::string body;
  } cases[] = {
      {"GET /big HTTP/1.1\r\n\r\n", server.maxConnections, 3, kBig},
      {"GET /shared HTTP/1.1\r\n\r\n", 20, 20, kBig.substr(0, kBig.size() / 4)},
  };
  for (const auto& c : cases) {
    const std::vector<Fd> readers = readersOf(server.boundPort, c.request, c.readers);
    ASSERT_TRUE(inState(server, ConnState::Writing, c.whole)) << c.request;
    ASSERT_TRUE(heldDownTo(server, c.whole)) << c.request;
    int whole = 0, refused = 0;
    for (const std::string& answer : readSideBySide(readers)) {
      whole += answer.starts_with("HTTP/1.1 200 OK\r\n") && answer.ends_with(c.body);
      refused += answer == busy;
    }
    EXPECT_EQ(whole, c.whole) << c.request;
    EXPECT_EQ(refused, c.readers - c.whole) << c.request;
    EXPECT_TRUE(allReaped(server)) << c.request;
  }
}

// A table full of answers whose readers take nothing: a new peer still gets
// in, for the oldest of them, read more slowly than the budget's rate, gives
// way. The readers are judged by what they took, a few KiB: the kernel
// takes megabytes of the answer for them, more than 64 KiB/s of a minute.
TEST(ServeFullTable, ReadersBelowTheRateGiveWayToANewPeer) {
  HTTPServer server("0", "/nonexistent");
  addTestRoutes(server);
  server.maxConnections = 3;
  ASSERT_TRUE(server.setup());
  server.startListener();
  const std::vector<Fd> readers =
      readersOf(server.boundPort, "GET /big HTTP/1.1\r\n\r\n", server.maxConnections);
  ASSERT_TRUE(inState(server, ConnState::Writing, 3));
  std::this_thread::sleep_for(500ms);  // 32 KiB at the rate: more than the readers' windows
  EXPECT_EQ(statusOf(sent(server.boundPort, "GET /plain")), "HTTP/1.1 200 OK");
  std::vector<bool> whole;
  for (const std::string& answer : readSideBySide(readers)) whole.push_back(answer.ends_with(kBig));
  EXPECT_EQ(whole, (std::vector<bool>{false, true, true}));
  EXPECT_TRUE(allReaped(server));
}

TEST_F(ServeTest, WithTheDefaultDeadlinesASilentPeerGets408AndALateRequestIsServed) {
  server.io = ConnectionIOSettings{};
  const Fd silent = connect();
  const Fd late = connect();
  std::this_thread::sleep_for(300ms);
  sendText(late.get(), "GET /plain HTTP/1.1\r\n\r\n");
  EXPECT_EQ(statusOf(late), "HTTP/1.1 200 OK");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(readUntilClosed(silent.get()), errorAnswer("408 Request Timeout", "Request Timeout"));
  EXPECT_GT(std::chrono::steady_clock::now() - started, 1s);  // after about two seconds
}

// Both workers are held: a complete request waits in the queue, a waiting
// one is parked, one is still arriving. The stop's closing ends the waits,
// so the held workers answer and the queued request is served; only the
// request that never arrives whole gets 408.
TEST(ServeStop, TheClosingServesWhatIsUnderWay) {
  HTTPServer server("0", "/nonexistent", 2);
  addTestRoutes(server);
  ASSERT_TRUE(server.setup());
  server.startListener();
  const int port = server.boundPort;
  const Fd parked = sent(port, "GET /wait");
  const Fd held = sent(port, "GET /gate");
  const Fd held2 = sent(port, "GET /gate");
  for (int i = 0; i < 1000 && server.pool.anyIdle(); ++i) std::this_thread::sleep_for(1ms);
  const Fd queued = sent(port, "GET /plain");
  const Fd arriving = connectLoopback(port);
  sendText(arriving.get(), "GET /pla");
  std::this_thread::sleep_for(100ms);  // all read (or not) by the listener
  const auto started = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, server.waits.stopGrace + 500ms);
  for (const Fd* gate : {&held, &held2}) {
    const std::string answer = readUntilClosed(gate->get());
    EXPECT_TRUE(answer.ends_with("\r\n\r\ngate")) << answer;
  }
  EXPECT_TRUE(readUntilClosed(queued.get()).ends_with("\r\n\r\nok"));
  EXPECT_TRUE(readUntilClosed(parked.get()).ends_with("\r\n\r\nwoke"));
  EXPECT_EQ(readUntilClosed(arriving.get()), errorAnswer("408 Request Timeout", "Request Timeout"));
}

// How long the closing lasts: no longer than it takes what is under way and
// the followers that have records left to fetch; never past the grace. A
// follower with a position ("/seq/P": the records after P, up to `end`) is
// waited for while its last answer left it before the end, so it may come
// back late and still get them; one without is given a moment after its
// answer. An idle connection (a browser opens some ahead of need) and a
// request still arriving hold nothing up.
TEST(ServeStop, TheClosingLastsWhileSomethingIsUnderWay) {
  const struct {
    const char* under;
    std::string request;  // sent on the connection
    bool connect;
    std::size_t appended;    // to the followed sequence, just before the stop
    double comesBack;        // the follower asks again this late (0: never)
    double atLeast, atMost;  // in units of the follow-up window
  } cases[] = {
      {"nothing", "", false, 0, 0, 0, 0.5},
      {"an idle connection", "", true, 0, 0, 0, 0.5},
      {"an answer just sent", "GET /plain HTTP/1.1\r\n\r\n", true, 0, 0, 0, 0.5},
      {"a follower without a position", "GET /follow HTTP/1.1\r\n\r\n", true, 0, 0, 0.6, 2},
      {"a follower left at the end", "GET /seq/1 HTTP/1.1\r\n\r\n", true, 0, 0, 0, 0.5},
      {"a follower left at the end, back", "GET /seq/1 HTTP/1.1\r\n\r\n", true, 0, 2.4, 0, 0.5},
      {"a follower left behind, back late", "GET /seq/1 HTTP/1.1\r\n\r\n", true, 1, 2.4, 2.3, 3.5},
      {"a follower left behind, gone", "GET /seq/1 HTTP/1.1\r\n\r\n", true, 1, 0, 3.8, 5},
      {"a request still arriving", "GET /pla", true, 0, 0, 0, 0.5},
  };
  for (const auto& c : cases) {
    HTTPServer server("0", "/nonexistent");
    addTestRoutes(server);
    std::atomic<std::size_t> end{3};
    server.routes.add("GET", "/seq/([0-9]+)",
                      makeEndPoint(
                          {"path", "from"},
                          [&end](const RequestInfo& q, ResponseInfo& r) {
                            const std::size_t from = std::stoul(q.parameters["from"]);
                            r.followStep = FollowStep{from, std::max<std::size_t>(from, end)};
                            r.body = std::to_string(r.followStep->to);
                            return 0;
                          },
                          EndpointTraits{.followed = true}));
    server.followedEnd = [&end] { return std::optional<std::size_t>(end); };
    server.waits.followUpWindow = 500ms;
    server.waits.stopGrace = 4 * server.waits.followUpWindow;
    ASSERT_TRUE(server.setup());
    server.startListener();
    Fd client;
    if (c.connect) client = connectLoopback(server.boundPort);
    sendText(client.get(), c.request);
    if (c.request.ends_with("\r\n\r\n"))
      readUntilClosed(client.get());  // answered
    else
      std::this_thread::sleep_for(50ms);  // read by the listener
    end += c.appended;
    std::future<std::string> back;
    if (c.comesBack > 0)
      back = std::async(std::launch::async, [&, port = server.boundPort]() -> std::string {
        std::this_thread::sleep_for(c.comesBack * server.waits.followUpWindow);
        const Fd again = connectLoopback(port);  // refused once the server is gone
        if (again.get() < 0 || !sendText(again.get(), "GET /seq/3 HTTP/1.1\r\n\r\n")) return "";
        const std::string answer = readUntilClosed(again.get(), kBound);
        const std::size_t body = answer.find("\r\n\r\n");
        return body == std::string::npos ? "" : answer.substr(body + 4);
      });
    const auto started = std::chrono::steady_clock::now();
    server.stop();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started) /
                        server.waits.followUpWindow;
    EXPECT_GE(took, c.atLeast) << c.under;
    EXPECT_LE(took, c.atMost) << c.under;
    // Only the one left behind is served when it comes back.
    if (back.valid()) {
      EXPECT_EQ(back.get(), c.appended > 0 ? "4" : "") << c.under;
    }
  }
}

// Without a pool every request gets a thread of its own, and a parked one a
// new thread when it runs again.
TEST(ServeThreads, EachRequestOnAThreadOfItsOwn) {
  HTTPServer server("0", "/nonexistent", 0);
  addTestRoutes(server);
  ASSERT_TRUE(server.setup());
  server.startListener();
  const int port = server.boundPort;
  const Fd gate = sent(port, "GET /gate");
  const Fd parked = sent(port, "GET /wait");
  for (const char* path : {"GET /plain", "GET /nap", "GET /nap"}) {
    const std::string answer = readUntilClosed(sent(port, path).get());
    EXPECT_TRUE(answer.ends_with(path == std::string("GET /plain") ? "ok" : "rested")) << answer;
  }
  server.stop();
  EXPECT_TRUE(readUntilClosed(gate.get()).ends_with("\r\n\r\ngate"));
  EXPECT_TRUE(readUntilClosed(parked.get()).ends_with("\r\n\r\nwoke"));
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
    EXPECT_EQ(statusOf(sent(expected, "GET /index.html")), "HTTP/1.1 404 Not Found");
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
    EXPECT_TRUE(inState(*static_cast<HTTPServer*>(server), ConnState::Waiting, 1));
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
