#include "httpd/http_server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "httpd/error_text.h"
#include "httpd/log_safe.h"
#include "httpd/peer_log.h"
#include "httpd/response_writer.h"
#include "httpd/socket_io.h"

HTTPServer::HTTPServer(std::string port_, std::string documentRoot_, int poolSize_)
    : poolSize(poolSize_),
      port(std::move(port_)),
      documentRoot(std::move(documentRoot_)),
      pool(static_cast<std::size_t>(std::max(poolSize, 0))) {}

HTTPServer::~HTTPServer() { stop(); }

std::shared_ptr<RequestHandlerInfo> HTTPServer::addConnection(long reqid, int socket,
                                                              std::string host,
                                                              std::string peerPort) {
  auto record = std::make_shared<RequestHandlerInfo>();
  record->reqid = reqid;
  record->socket = socket;
  record->host = std::move(host);
  record->port = std::move(peerPort);
  std::lock_guard<std::mutex> lock(connectionsMutex);
  connections[reqid] = record;
  return record;
}

std::shared_ptr<RequestHandlerInfo> HTTPServer::findConnection(long reqid) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  const auto it = connections.find(reqid);
  return it == connections.end() ? nullptr : it->second;
}

int HTTPServer::s_handleRequest(void* server, long reqid) {
  return static_cast<HTTPServer*>(server)->handleRequest(reqid);
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
  try {
    result = processRequest(*connection);
  } catch (...) {
    try {
      PeerLog(connection->host, connection->port)
          << "Error: serving the request failed: " << currentExceptionText();
    } catch (...) {
    }
  }
  closeConnection(*this, *connection);
  connection->state = ConnState::Closed;
  return result;
}

int HTTPServer::dispatchRequest(RequestInfo& request, ResponseInfo& response,
                                const HTTPEndPoint** endpoint) {
  HTTPEndPoint* found = routes.match(request);
  if (endpoint) *endpoint = found;
  if (!found) return failWith(response, 404, "Not found");
  return (*found)(request.stopToken, request, response);
}

int HTTPServer::processRequest(RequestHandlerInfo& connection) {
  RequestInfo request;
  request.reqid = connection.reqid;
  request.socket = connection.socket;
  request.state = connection.state;
  request.flags = connection.flags;
  request.host = connection.host;
  request.port = connection.port;
  request.stopToken = connection.stop.get_token();
  ResponseInfo response;

  int parseResult = -1;
  int dispatchResult = -1;
  const HTTPEndPoint* endpoint = nullptr;
  try {
    parseResult = parseRequest(connection, request, response);
    if (parseResult != 0) {
      if (response.status == 0) response.status = 501;
      PeerLog(request.host, request.port) << "Server request error " << response.status
                                          << " (pr=" << -1 << ") for " << logSafe(request.path);
    } else {
      dispatchResult = dispatchRequest(request, response, &endpoint);
    }
  } catch (...) {
    PeerLog(request.host, request.port)
        << "Error: request handling failed: " << currentExceptionText();
    response = ResponseInfo();
    response.status = 500;
    dispatchResult = -1;
  }

  // A peer that only half-closed still reads: only a socket error, or a
  // waiting endpoint that the peer's close has stopped, leaves nobody to
  // answer.
  const int flags = connection.flags;
  const bool stoppedByPeer = (flags & ConnFlag::PeerClosed) && endpoint && endpoint->waits() &&
                             request.stopToken.stop_requested();
  if ((flags & ConnFlag::SocketError) || stoppedByPeer) {
    if (flags & ConnFlag::PeerClosed)
      PeerLog(request.host, request.port) << "Remote closed the connection\n";
    return -1;
  }
  writeResponse(connection, request, response, parseResult, dispatchResult);
  return dispatchResult;
}

void HTTPServer::writeResponse(RequestHandlerInfo& connection, const RequestInfo& request,
                               const ResponseInfo& response, int parseResult, int dispatchResult) {
  const ResponseMessage message = composeResponse(response, dispatchResult, knownStatus);
  if (dispatchResult != 0)
    PeerLog(request.host, request.port) << "Server error " << dispatchResult << " for "
                                        << logSafe(request.path) << ": "
                                        << logSafe(response.message);
  PeerLog(request.host, request.port) << "Response: pr=" << parseResult << ", dr=" << dispatchResult
                                      << ": " << message.code << " " << logSafe(message.reason);

  connection.state = ConnState::Sending;
  const SendResult sent =
      sendAll(connection.socket, message.head, message.body, io.sendStall, io.slice);
  const bool whole = sent.sent == message.head.size() + message.body.size();
  if (whole)
    PeerLog(request.host, request.port) << "Sent " << sent.sent << " B\n";
  else
    PeerLog(request.host, request.port)
        << "Send error: " << errorText(sent.error) << " (errc=" << sent.error << ")\n";
  connection.state = ConnState::Sent;
  if (whole && request.inputLeft) lingerBeforeClose(connection.socket, io.linger, io.slice);
}
