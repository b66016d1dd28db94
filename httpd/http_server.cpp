// The server's table of connections, the checks and routing of a request,
// and a worker's part of serving it: parameters, endpoint, answer.

#include "httpd/http_server.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "httpd/cgi.h"
#include "httpd/error_text.h"
#include "httpd/log_safe.h"
#include "httpd/peer_log.h"
#include "httpd/response_writer.h"
#include "httpd/socket_io.h"

HTTPServer::HTTPServer(std::string port_, std::string documentRoot_, int poolSize_)
    : poolSize(poolSize_),
      port(std::move(port_)),
      documentRoot(std::move(documentRoot_)),
      pool(static_cast<std::size_t>(std::max(poolSize, 0))) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ >= 0)
    pool.setIdleNotice([this] {
      const std::uint64_t one = 1;
      if (requestsQueued_ && ::write(wakeFd_, &one, sizeof one) < 0) {
        // Full or failed: the listener's next idle pass hands the request over.
      }
    });
}

HTTPServer::~HTTPServer() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

std::shared_ptr<RequestHandlerInfo> HTTPServer::addConnection(long reqid, int socket,
                                                              std::string host,
                                                              std::string peerPort) {
  auto record = std::make_shared<RequestHandlerInfo>();
  record->reqid = reqid;
  record->socket = socket;
  record->host = std::move(host);
  record->port = std::move(peerPort);
  record->intake = RequestIntake(io.maxHeaderBytes);
  const SteadyTime now = std::chrono::steady_clock::now();
  record->firstByteDeadline = now + io.firstByte;
  record->requestDeadline = now + io.wholeRequest;
  RequestInfo& request = record->request;
  request.reqid = reqid;
  request.socket = socket;
  request.host = record->host;
  request.port = record->port;
  request.stopToken = record->stop.get_token();
  request.deadline = record->requestDeadline;
  std::lock_guard<std::mutex> lock(connectionsMutex);
  connections[reqid] = record;
  return record;
}

std::shared_ptr<RequestHandlerInfo> HTTPServer::findConnection(long reqid) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  const auto it = connections.find(reqid);
  return it == connections.end() ? nullptr : it->second;
}

void HTTPServer::closeSocket(RequestHandlerInfo& connection) {
  int err = 0;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    if (!connection.socketOpen) return;
    err = connection.closeLocked();
  }
  PeerLog(connection.host, connection.port) << "Close: " << connection.socket;
  if (err != 0)
    PeerLog(connection.host, connection.port)
        << "Close error: " << errorText(err) << " (errc=" << err << ")\n";
}

HTTPEndPoint* HTTPServer::routeRequest(RequestInfo& request, ResponseInfo& response) {
  if (const auto host = request.headers.find("host"); host != request.headers.end()) {
    const HostName name = classifyHost(host->second, ownNames);
    if (name == HostName::Invalid) {
      failWith(response, 400, "Invalid Host header");
      return nullptr;
    }
    if (name == HostName::Elsewhere && !allowRemoteSet) {
      failWith(response, 421, "Misdirected Request");
      return nullptr;
    }
  }
  HTTPEndPoint* endpoint = routes.match(request);
  if (!endpoint) {
    failWith(response, 404, "Not found");
    return nullptr;
  }
  if (endpoint->traits.changesRun && !changeAllowed(request, allowRemoteSet)) {
    failWith(response, 401, "Forbidden");
    return nullptr;
  }
  return endpoint;
}

namespace {

PeerLog peerLog(const RequestInfo& request) { return PeerLog(request.host, request.port); }

// The CGI parameters of the query, or of the form body of a POST to a route
// that takes one (a POST's query string is not read), logged; the route's
// captures keep their names.
int takeParameters(const HTTPEndPoint& endpoint, RequestInfo& request, ResponseInfo& response) {
  const bool post = request.method == "POST";
  if (post && !endpoint.traits.takesForm) return 0;
  CGI cgi(request.variables, CGI::Budget{request.deadline, request.stopToken});
  if (post)
    cgi.parsePostRequest();
  else
    cgi.parseQueryString(request.variables["QUERY_STRING"]);
  if (const std::string summary = cgi.ignoredSummary(); !summary.empty())
    peerLog(request) << summary;
  if (cgi.failed) {
    peerLog(request) << "Error: CGI parsing failed";
    response.status = cgi.failStatus != 0 ? cgi.failStatus : 501;
    response.message = cgi.failMessage;
    return -1;
  }
  for (auto& [name, parameter] : cgi.parameters) {
    {
      PeerLog line(request.host, request.port);
      line << "CGI param: " << logSafe(name) << "=";
      for (const auto& [headerName, headerValue] : parameter.headers)
        line << logSafe(headerName) << ": " << logSafe(headerValue) << "\\r\\n";
      if (!parameter.headers.empty()) line << "\\r\\n";
      line << logSafe(parameter.body);
    }
    request.parameters.emplace(name, std::move(parameter.body));
  }
  return 0;
}

}  // namespace

int HTTPServer::runEndpoint(HTTPEndPoint& endpoint, RequestInfo& request, ResponseInfo& response) {
  if (takeParameters(endpoint, request, response) != 0) return -1;
  return endpoint(request.stopToken, request, response);
}

int HTTPServer::dispatchRequest(RequestInfo& request, ResponseInfo& response,
                                const HTTPEndPoint** endpoint) {
  HTTPEndPoint* found = routeRequest(request, response);
  if (endpoint) *endpoint = found;
  return found ? runEndpoint(*found, request, response) : -1;
}

int HTTPServer::s_handleRequest(void* server, long reqid) {
  return static_cast<HTTPServer*>(server)->handleRequest(reqid);
}

// Logs and closes; whatever happens, the socket is closed once.
static void closeConnection(HTTPServer& server, RequestHandlerInfo& connection) noexcept {
  try {
    server.closeSocket(connection);
  } catch (...) {
    // Only the log lines can fail; the socket is closed by then.
  }
}

int HTTPServer::handleRequest(long reqid) {
  const std::shared_ptr<RequestHandlerInfo> connection = findConnection(reqid);
  if (!connection) {
    std::fprintf(stderr, "Error: Handler could not find the request info for reqid=%ld\n", reqid);
    return -1;
  }
  int result = -1;
  bool handedBack = false;
  try {
    result = processRequest(*connection, handedBack);
  } catch (...) {
    try {
      PeerLog(connection->host, connection->port)
          << "Error: serving the request failed: " << currentExceptionText();
    } catch (...) {
    }
  }
  // Handed back, the connection is the listener's: not even its state is
  // ours to read.
  if (handedBack) return result;
  closeConnection(*this, *connection);
  connection->state = ConnState::Closed;
  return result;
}

bool HTTPServer::handBack(RequestHandlerInfo& connection, int state) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  if (!listening_) return false;
  connection.state = state;
  return true;
}

int HTTPServer::processRequest(RequestHandlerInfo& connection, bool& handedBack) {
  RequestInfo& request = connection.request;
  ResponseInfo response;
  int result = -1;
  const auto serve = [&](bool again) {
    try {
      response = ResponseInfo();
      // Past a stop's closing every answer is thrown away: none is made.
      if (answersDropped_) {
        result = failTimedOut(response);
        return;
      }
      if (!connection.endpoint) connection.endpoint = routeRequest(request, response);
      if (!connection.endpoint)
        result = -1;
      else if (again)
        result = (*connection.endpoint)(request.stopToken, request, response);
      else
        result = runEndpoint(*connection.endpoint, request, response);
    } catch (...) {
      peerLog(request) << "Error: request handling failed: " << currentExceptionText();
      response = ResponseInfo();
      response.status = 500;
      result = -1;
    }
  };
  serve(request.waitedUntil.has_value());
  if (result == 0 && response.wait) {
    connection.wait = std::move(*response.wait);
    connection.answer.follow = response.followStep;  // the position it waits at
    request.waitedUntil = connection.wait.until;
    if (handBack(connection, ConnState::Waiting)) {
      handedBack = true;
      return 0;
    }
    // The listener has ended, so nobody would wake the wait: it ends now.
    connection.stop.request_stop();
    serve(true);
    if (response.wait) result = failTimedOut(response);
  }
  if (writeResponse(connection, response, result)) {
    handedBack = true;
    return result;
  }
  noteFollower(connection);
  if (connection.answer.whole() && request.inputLeft &&
      ::shutdown(connection.socket, SHUT_WR) == 0) {
    connection.lingerDeadline = std::chrono::steady_clock::now() + io.linger;
    handedBack = handBack(connection, ConnState::Lingering);
  }
  return result;
}

void HTTPServer::noteFollower(const RequestHandlerInfo& connection) {
  if (!connection.endpoint || !connection.endpoint->traits.followed) return;
  const AnswerInFlight& answer = connection.answer;
  if (!answer.whole()) {
    // The client did not get it: gone, or too slow to be waited for.
    if (answer.follow && answer.follow->from) followers_.left(*answer.follow->from);
    return;
  }
  // Its client asks again soon: a closing server gives it the chance when
  // there are records left for it.
  const SteadyTime now = std::chrono::steady_clock::now();
  if (answer.follow)
    followers_.answered(now, *answer.follow);
  else if (answer.result == 0)
    lastFollowedAnswer_ = now;
}

bool HTTPServer::writeResponse(RequestHandlerInfo& connection, ResponseInfo& response,
                               int dispatchResult) {
  const RequestInfo& request = connection.request;
  AnswerInFlight& answer = connection.answer;
  ResponseMessage message;
  const auto compose = [&] {
    message = composeResponse(response, dispatchResult, knownStatus);
    answer.head = std::move(message.head);
    // A body is the endpoint's whole body; a failure's is in the head.
    if (dispatchResult == 0) {
      answer.body = std::move(response.body);
      answer.shared = std::move(response.sharedBody);
      answer.bodyEnd = std::move(response.bodyEnd);
    }
  };
  compose();
  // Counted before its first byte: an answer the cap cannot hold is refused
  // whole, never cut after its head. The refusal itself is a few hundred
  // bytes, held in any case.
  if (!countAnswer(answer, io.maxSendingBytes)) {
    peerLog(request) << "Error: the answers being sent hold " << answerMemory_.total()
                     << " B; this one of " << answer.size() << " B is refused";
    ResponseInfo busy;
    dispatchResult = failWith(busy, 503, "Busy sending other answers");
    busy.headers.emplace("Retry-After", "1");
    response = std::move(busy);
    answer = AnswerInFlight();
    compose();
    countAnswer(answer, SIZE_MAX);
  }
  if (dispatchResult != 0)
    peerLog(request) << "Server error " << dispatchResult << " for " << logSafe(request.path)
                     << ": " << logSafe(response.message);
  peerLog(request) << "Response: pr=0, dr=" << dispatchResult << ": " << message.code << " "
                   << message.reason;

  connection.state = ConnState::Sending;
  answer.result = dispatchResult;
  answer.follow = response.followStep;
  answer.start = answer.tookAt = answer.lookedAt = std::chrono::steady_clock::now();
  answer.deadline = io.sendDeadline(answer.start, answer.size());
  answer.sent = SendResult{};
  // What the socket takes without waiting; the rest, if the peer is there
  // and still reading, goes to the listener. A thread of its own per
  // connection keeps nobody else waiting, and sends it all itself.
  const SendLimits budget{io.sendStall, answer.deadline, io.slice};
  if (poolSize < 1) {
    answer.sent = sendAll(connection.socket, answer.pieces(), budget);
  } else {
    answer.sendWithoutWaiting(connection.socket);
    if (!answer.whole() && answer.sent.error == ETIMEDOUT) {
      // From here on the reader is judged by what it takes.
      answer.lookAtPeer(connection.socket, std::chrono::steady_clock::now());
      if (handBack(connection, ConnState::Writing)) return true;
      // The listener has ended. After a quit the rest goes from here; after
      // a stop it would only be cut.
      if (answersDropped_)
        answer.sent.error = ESHUTDOWN;
      else
        answer.sent = sendAll(connection.socket, answer.pieces(), budget, answer.sent);
    }
  }
  uncountAnswer(answer);
  logSendOutcome(connection);
  connection.state = ConnState::Sent;
  return false;
}

bool HTTPServer::countAnswer(AnswerInFlight& answer, std::size_t cap) {
  answer.counted = answerMemory_.take(answer.size() - answer.shared.text.size(),
                                      answer.shared.keeper.get(), answer.shared.bytes, cap);
  return answer.counted;
}

void HTTPServer::uncountAnswer(AnswerInFlight& answer) {
  if (!answer.counted) return;
  answerMemory_.release(answer.size() - answer.shared.text.size(), answer.shared.keeper.get());
  answer.counted = false;
}

void HTTPServer::logSendOutcome(const RequestHandlerInfo& connection) {
  const AnswerInFlight& answer = connection.answer;
  if (answer.whole())
    peerLog(connection.request) << "Sent " << answer.sent.sent << " B\n";
  else
    peerLog(connection.request) << "Send error: " << errorText(answer.sent.error)
                                << " (errc=" << answer.sent.error << ")\n";
}
