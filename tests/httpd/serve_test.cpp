// One connection served end to end over a socket pair (or a loopback TCP
// connection), with test routes: the exact answers, the reading rules and
// their deadlines, and sending to peers that read slowly, stall or reset.

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "httpd/http_server.h"
#include "test_sockets.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;
const std::string kBig(4 << 20, 'z');

void addTestRoutes(HTTPServer& server) {
  auto& routes = server.routes;
  routes.add("GET", "/teapot", makeEndPoint({}, [](const RequestInfo&, ResponseInfo& r) {
               r.status = 418;
               r.message = "x";
               return -1;
             }));
  routes.add("GET", "/moved", makeEndPoint({}, [](const RequestInfo&, ResponseInfo& r) {
               r.status = 302;
               r.headers["Location"] = "/elsewhere";
               return 0;
             }));
  routes.add("GET", "/quote", makeEndPoint({}, [](const RequestInfo&, ResponseInfo& r) {
               r.status = 418;
               r.message = "say \"hi\"";
               return -1;
             }));
  routes.add("GET", "/cap/([a-z]+)/([0-9]+)",
             makeEndPoint({"whole"}, [](const RequestInfo& q, ResponseInfo& r) {
               r.body = q.parameters["whole"] + "|" + q.parameters["pm1"] + "|" +
                        q.parameters["pm2"] + "|" + q.parameters["a"] + "|" + q.parameters["b"];
               return 0;
             }));
  routes.add("GET", "/plain", makeEndPoint({}, [](const RequestInfo&, ResponseInfo& r) {
               r.body = "ok";
               r.contentType = "text/plain";
               return 0;
             }));
  routes.add("POST", "/echo", makeEndPoint({}, [](const RequestInfo& q, ResponseInfo& r) {
               r.body = q.parameters["v"];
               return 0;
             }));
  routes.add("POST", "/count", makeEndPoint({}, [](const RequestInfo& q, ResponseInfo& r) {
               const std::string& data = q.variables["QUERY_DATA"];
               r.body = q.variables["CONTENT_LENGTH"] + " " +
                        std::to_string(std::count(data.begin(), data.end(), 'b'));
               return 0;
             }));
  routes.add("GET", "/throw", makeEndPoint({}, [](const RequestInfo&, ResponseInfo&) -> int {
               throw std::runtime_error("endpoint failed");
             }));
  routes.add("GET", "/big", makeEndPoint({}, [](const RequestInfo&, ResponseInfo& r) {
               r.body = kBig;
               return 0;
             }));
  routes.add("GET", "/wait",
             makeStoppableEndPoint({}, [](std::stop_token stop, const RequestInfo&, ResponseInfo& r) {
               for (int i = 0; i < 1000 && !stop.stop_requested(); ++i)
                 std::this_thread::sleep_for(10ms);
               r.status = 408;
               r.message = "Request Timeout";
               return -1;
             }));
}

// A server whose deadlines are short enough for the test run.
struct ServeTest : testing::Test {
  HTTPServer server{"0", "/nonexistent"};
  long nextId = 1;

  ServeTest() {
    addTestRoutes(server);
    server.io.firstByte = 300ms;
    server.io.wholeRequest = 600ms;
    server.io.sendStall = 300ms;
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
    EXPECT_GE(socket, 0);
    const long id = nextId++;
    auto record = server.addConnection(id, socket, "peer", "1");
    auto result = server.pool.start(&HTTPServer::s_handleRequest, static_cast<void*>(&server), id);
    return {std::move(client), std::move(record), std::move(result)};
  }

  // The whole answer to one request sent at once.
  std::string exchange(const std::string& request) {
    Served s = serve();
    sendText(s.client.get(), request);
    std::string answer = readUntilClosed(s.client.get());
    EXPECT_EQ(s.result.wait_for(kBound), std::future_status::ready);
    return answer;
  }

  static void expectFreed(Served& s) {
    ASSERT_EQ(s.result.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(s.record->state, ConnState::Closed);
  }
};

std::string errorAnswer(const std::string& status, const std::string& json, bool close = false) {
  return "HTTP/1.1 " + status + "\r\n" + (close ? "Connection: close\r\n" : "") +
         "Content-Length: " + std::to_string(json.size()) +
         "\r\nContent-Type: text/json\r\n\r\n" + json;
}

TEST_F(ServeTest, ExactAnswers) {
  const struct {
    const char* request;
    std::string answer;
  } cases[] = {
      {"GET /teapot HTTP/1.1\r\n\r\n",
       "HTTP/1.1 418 x\r\nContent-Length: 14\r\nContent-Type: text/json\r\n\r\n{\"error\": \"x\"}"},
      {"GET /moved HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 302 OK\r\nLocation: /elsewhere\r\n\r\n"},
      {"GET /nowhere HTTP/1.0\r\n\r\n", errorAnswer("404 Not found", "{\"error\": \"Not found\"}")},
      {"DELETE /teapot HTTP/1.1\r\n\r\n", errorAnswer("404 Not found", "{\"error\": \"Not found\"}")},
      {"GET /quote HTTP/1.1\r\n\r\n",
       errorAnswer("418 say \"hi\"", "{\"error\": \"say \\\"hi\\\"\"}")},
      {"GET /cap/abc/42?a=1&b=x%41+y HTTP/1.1\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Length: 25\r\nContent-Type: text/json\r\n\r\n"
       "/cap/abc/42|abc|42|1|xA y"},
      {"GET /plain\r\n\r\n",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok"},
      {"BREW /plain HTTP/1.1\r\n\r\n",
       errorAnswer("501 Invalid HTTP method", "{\"error\": \"Invalid HTTP method\"}")},
      {"GET /plain HTTP/2.0\r\n\r\n", errorAnswer("501 HTTP Version is not supported",
                                                  "{\"error\": \"HTTP Version is not supported\"}")},
      {"GET\r\n\r\n",
       errorAnswer("501 Invalid request status line", "{\"error\": \"Invalid request status line\"}")},
  };
  for (const auto& c : cases) EXPECT_EQ(exchange(c.request), c.answer) << c.request;
}

TEST_F(ServeTest, ThrowingEndpointIsAnswered500AndTheNextRequestServed) {
  EXPECT_EQ(exchange("GET /throw HTTP/1.1\r\n\r\n"),
            errorAnswer("500 Internal Server Error", "{\"error\": \"Internal Server Error\"}"));
  EXPECT_EQ(exchange("GET /plain HTTP/1.1\r\n\r\n").substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(ServeTest, RequestsArrivingInPiecesAreReadWhole) {
  server.io.firstByte = server.io.wholeRequest = 5s;  // room for the pauses on a loaded machine
  {
    Served s = serve();
    sendText(s.client.get(), "GET /pla");
    std::this_thread::sleep_for(100ms);
    sendText(s.client.get(), "in HTTP/1.1\r\nHost: h\r");
    std::this_thread::sleep_for(100ms);
    sendText(s.client.get(), "\n\r\n");
    EXPECT_EQ(readUntilClosed(s.client.get()).substr(0, 15), "HTTP/1.1 200 OK");
    expectFreed(s);
  }
  {
    Served s = serve();
    sendText(s.client.get(),
             "POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
             "Content-Length: 7\r\n\r\n");
    std::this_thread::sleep_for(200ms);
    sendText(s.client.get(), "v=hello");
    const std::string answer = readUntilClosed(s.client.get());
    EXPECT_EQ(answer.substr(answer.size() - 9), "\r\n\r\nhello");
    expectFreed(s);
  }
  {
    Served s = serve();
    const std::string body(3 << 20, 'b');
    sendText(s.client.get(), "POST /count HTTP/1.1\r\nContent-Type: multipart/form-data\r\n"
                             "Content-Length: 3145728\r\n\r\n" + body);
    const std::string answer = readUntilClosed(s.client.get());
    EXPECT_EQ(answer.substr(answer.size() - 19), "\r\n\r\n3145728 3145728");
    expectFreed(s);
  }
}

TEST_F(ServeTest, RefusedRequests) {
  const std::string head = "POST /echo HTTP/1.1\r\nContent-Length: ";
  const struct {
    std::string request;
    bool shutWrite;
    std::string answer;
  } cases[] = {
      {head + "99999999999999999999\r\n\r\n", false,
       errorAnswer("501 Request too large", "{\"error\": \"Request too large\"}")},
      {head + "16777217\r\n\r\n", false,
       errorAnswer("501 Request too large", "{\"error\": \"Request too large\"}")},
      {head + "-5\r\n\r\n", false,
       errorAnswer("501 Invalid Content-Length", "{\"error\": \"Invalid Content-Length\"}")},
      {head + "12abc\r\n\r\n", false,
       errorAnswer("501 Invalid Content-Length", "{\"error\": \"Invalid Content-Length\"}")},
      {head + "20\r\n\r\nv=abc", true,
       errorAnswer("501 Internal Server Error", "{\"error\": \"Internal Server Error\"}")},
      {head + "20\r\n\r\nv=abc", false,
       errorAnswer("408 Request Timeout", "{\"error\": \"Request Timeout\"}", true)},
      {std::string(1024, 'G'), false,
       errorAnswer("408 Request Timeout", "{\"error\": \"Request Timeout\"}", true)},
      {"POST /echo HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n", false,
       errorAnswer("501 Internal Server Error", "{\"error\": \"Internal Server Error\"}")},
  };
  for (const auto& c : cases) {
    Served s = serve();
    sendText(s.client.get(), c.request);
    if (c.shutWrite) ::shutdown(s.client.get(), SHUT_WR);
    EXPECT_EQ(readUntilClosed(s.client.get()), c.answer) << c.request;
    expectFreed(s);
  }
}

TEST_F(ServeTest, OversizedHeaderBlockIsAnsweredNotReset) {
  Served s = serve(true);
  std::string header = "GET /plain HTTP/1.1\r\n";
  while (header.size() < 3 * server.io.maxHeaderBytes) header += "X-Filler: 0123456789abcdef\r\n";
  sendText(s.client.get(), header);
  int endError = -1;
  EXPECT_EQ(readUntilClosed(s.client.get(), kBound, 1 << 20, &endError),
            errorAnswer("501 Request header too large", "{\"error\": \"Request header too large\"}"));
  EXPECT_EQ(endError, 0) << "the connection was reset";
  expectFreed(s);
}

TEST_F(ServeTest, HalfClosedPeerGetsItsAnswer) {
  Served s = serve();
  sendText(s.client.get(), "GET /plain HTTP/1.1\r\n\r\n");
  ::shutdown(s.client.get(), SHUT_WR);
  // What the listener does when it sees the half-close.
  s.record->flags |= ConnFlag::PeerClosed;
  s.record->stop.request_stop();
  EXPECT_EQ(readUntilClosed(s.client.get()).substr(0, 15), "HTTP/1.1 200 OK");
  expectFreed(s);
}

TEST_F(ServeTest, NothingIsSentWhenNobodyIsLeftToRead) {
  const struct {
    const char* request;
    int flags;
  } cases[] = {
      {"GET /wait HTTP/1.1\r\n\r\n", ConnFlag::PeerClosed},
      {"GET /plain HTTP/1.1\r\n\r\n", ConnFlag::PeerClosed | ConnFlag::SocketError},
  };
  for (const auto& c : cases) {
    Served s = serve();
    s.record->flags |= c.flags;
    sendText(s.client.get(), c.request);
    s.record->stop.request_stop();
    EXPECT_EQ(readUntilClosed(s.client.get()), "") << c.request;
    expectFreed(s);
  }
}

TEST_F(ServeTest, SlowReaderReceivesTheWholeAnswer) {
  server.io.sendStall = 5s;
  Served s = serve();
  sendText(s.client.get(), "GET /big HTTP/1.1\r\n\r\n");
  std::string answer;
  char buf[256 << 10];
  for (int reads = 0; reads < 10000; ++reads) {
    std::this_thread::sleep_for(2ms);
    const ssize_t n = ::recv(s.client.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) break;
    if (n > 0) answer.append(buf, static_cast<std::size_t>(n));
  }
  ASSERT_GT(answer.size(), kBig.size());
  EXPECT_EQ(answer.substr(answer.size() - kBig.size()), kBig);
  expectFreed(s);
}

TEST_F(ServeTest, StalledOrResettingReaderFreesTheWorker) {
  {
    Served s = serve();
    sendText(s.client.get(), "GET /big HTTP/1.1\r\n\r\n");
    expectFreed(s);  // the answer stalls after the socket buffers fill
  }
  // A reader that vanishes: a plain close, then a reset.
  for (const bool tcp : {false, true}) {
    Served s = serve(tcp);
    sendText(s.client.get(), "GET /big HTTP/1.1\r\n\r\n");
    char buf[65536];
    pollfd entry{s.client.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 5000), 1);
    ASSERT_GT(::recv(s.client.get(), buf, sizeof buf, 0), 0);
    if (tcp) {
      const linger reset{1, 0};
      ::setsockopt(s.client.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    s.client.reset();
    expectFreed(s);
  }
}

TEST(ServeDefaults, SilentPeerGets408AndALateRequestLineIsServed) {
  HTTPServer server("0", "/nonexistent");
  addTestRoutes(server);
  auto [silent, silentSocket] = localPair();
  server.addConnection(1, silentSocket, "peer", "1");
  auto [late, lateSocket] = localPair();
  server.addConnection(2, lateSocket, "peer", "2");
  auto first = server.pool.start(&HTTPServer::s_handleRequest, static_cast<void*>(&server), 1L);
  auto second = server.pool.start(&HTTPServer::s_handleRequest, static_cast<void*>(&server), 2L);
  std::this_thread::sleep_for(300ms);
  sendText(late.get(), "GET /plain HTTP/1.1\r\n\r\n");
  EXPECT_EQ(readUntilClosed(late.get()).substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(readUntilClosed(silent.get()),
            errorAnswer("408 Request Timeout", "{\"error\": \"Request Timeout\"}", true));
  silent.reset();
  ASSERT_EQ(first.wait_for(kBound), std::future_status::ready);
  ASSERT_EQ(second.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(server.handleRequest(99), -1);
}

}  // namespace
