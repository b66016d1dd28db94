// The listener's part of serving a connection: reading its request,
// refusing what fails a check, parking it while its endpoint waits, and
// letting it linger before the close.
//
// Reads never wait: each pass takes what a peer has sent (a bounded amount),
// so a peer that sends a byte a second, or nothing, holds nothing but its
// place in the table until its deadline passes. A refusal is a small answer
// sent with one send that does not wait. When the peer may still be sending
// (the request was refused before its end), its write side is shut and what
// it sends is read and dropped until it closes or the linger time passes: a
// close with unread input would reset the connection and could destroy the
// answer on its way.

#include <fmt/format.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>

#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_safe.h"
#include "httpd/peer_log.h"
#include "httpd/request_head.h"
#include "httpd/response_writer.h"
#include "httpd/socket_io.h"

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
constexpr int kReadsPerPass = 4;  // per connection: one peer cannot hold the listener
// How often what a reader has taken is looked at between its socket's
// writable events: the rate that sheds readers sees it this fresh.
constexpr auto kPeerLook = std::chrono::milliseconds(50);

PeerLog peerLog(const RequestHandlerInfo& connection) {
  return PeerLog(connection.host, connection.port);
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

enum class LengthCheck { Ok, Invalid, TooLarge };

// Content-Length is plain decimal digits. The value is compared with the cap
// digit by digit, so no text overflows, however long.
LengthCheck parseContentLength(const std::string& text, std::size_t cap, std::size_t& length) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return LengthCheck::Invalid;
  length = 0;
  for (const char c : text) {
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (digit > cap || length > (cap - digit) / 10) return LengthCheck::TooLarge;
    length = length * 10 + digit;
  }
  return LengthCheck::Ok;
}

// The body's length: Content-Length, or none without it. A transfer coding
// is not read: with it the body's end could not be found.
int bodyLength(const RequestHandlerInfo& connection, const ConnectionIOSettings& io,
               ResponseInfo& response, std::size_t& length) {
  const std::map<std::string, std::string>& headers = connection.request.headers;
  length = 0;
  if (headers.count("transfer-encoding"))
    return failWith(response, 501, "Transfer-Encoding not supported");
  const auto header = headers.find("content-length");
  if (header == headers.end()) return 0;
  switch (parseContentLength(header->second, io.maxBodyBytes, length)) {
    case LengthCheck::Invalid:
      peerLog(connection) << "Error: invalid content length: " << logSafe(header->second);
      return failWith(response, 501, "Invalid Content-Length");
    case LengthCheck::TooLarge:
      peerLog(connection) << "Error: content length " << logSafe(header->second) << " over "
                          << io.maxBodyBytes << " B";
      return failWith(response, 501, "Request too large");
    case LengthCheck::Ok:
      break;
  }
  return 0;
}

}  // namespace

void HTTPServer::serveEvents() {
  for (std::size_t i = 0; i < polled_.size(); ++i) {
    RequestHandlerInfo* connection = polled_[i].first.get();
    const int state = polled_[i].second;
    const short events = pollEntries_[i].revents;
    if (!connection || events == 0 || connection->state != state) continue;
    if (state == ConnState::Accepted || state == ConnState::HeaderParsed) {
      readRequest(*connection);
    } else if (state == ConnState::Lingering) {
      drainLingering(*connection);
    } else if (state == ConnState::Waiting) {
      // Only hang-ups and errors are watched: the peer is gone, and nobody
      // is left to answer. A follower of the history has left with it.
      peerLog(*connection) << "Remote closed the connection\n";
      if (connection->answer.follow && connection->answer.follow->from)
        followers_.left(*connection->answer.follow->from);
      closeByListener(*connection);
    } else if (state == ConnState::Writing) {
      sendMore(*connection);
    }
  }
}

void HTTPServer::readRequest(RequestHandlerInfo& connection) {
  char buffer[kReadSize];
  for (int reads = 0; reads < kReadsPerPass; ++reads) {
    const ssize_t n = ::recv(connection.socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return peerEnded(connection);
    if (n < 0) {
      const int err = errno;
      if (wouldBlock(err)) return;
      peerLog(connection) << "Read error: " << errorText(err) << " (errc=" << err << ")\n";
      return closeByListener(connection);
    }
    RequestIntake& intake = connection.intake;
    if (!intake.take(std::string_view(buffer, static_cast<std::size_t>(n)))) {
      peerLog(connection) << "Error: request header block over " << io.maxHeaderBytes << " B\n";
      ResponseInfo response;
      failWith(response, 501, "Request header too large");
      return answerNow(connection, response, -1, -1);
    }
    if (intake.phase() == RequestIntake::Phase::HeadRead) {
      headRead(connection);
      if (connection.state != ConnState::HeaderParsed) return;
    }
    if (intake.phase() == RequestIntake::Phase::Done) return requestRead(connection);
  }
}

void HTTPServer::headRead(RequestHandlerInfo& connection) {
  RequestInfo& request = connection.request;
  RequestHead head;
  ResponseInfo response;
  const int parsed = parseRequestHead(connection.intake.head(), methods, versions, head, response);
  request.method = head.method;
  request.path = head.path;
  if (parsed != 0) {
    if (!head.problem.empty())
      peerLog(connection) << "Error: " << response.message << ": " << logSafe(head.problem);
    return answerNow(connection, response, -1, -1);
  }
  request.headers = std::move(head.headers);
  peerLog(connection) << "HTTP header: " << request.method << " " << logSafe(request.path) << " "
                      << logSafe(head.version);
  if (head.repeated > 0)
    peerLog(connection) << "Ignored the repeats of " << head.repeated << " header fields";
  connection.state = ConnState::HeaderParsed;

  std::size_t length = 0;
  if (bodyLength(connection, io, response, length) != 0)
    return answerNow(connection, response, -1, -1);
  const auto contentType = request.headers.find("content-type");
  request.variables["PATH_INFO"] = request.path;
  request.variables["QUERY_STRING"] = head.query;
  request.variables["REQUEST_METHOD"] = request.method;
  request.variables["CONTENT_TYPE"] =
      contentType == request.headers.end() ? std::string() : contentType->second;
  // The checks and the route come before a byte of the body is read: a
  // refused request's body is only drained, and a body no endpoint reads
  // is not kept. A request without a body leaves them to its worker.
  if (length > 0) {
    connection.endpoint = routeRequest(request, response);
    if (!connection.endpoint) return answerNow(connection, response, 0, -1);
  }
  const bool form = connection.endpoint && connection.endpoint->traits.takesForm;
  connection.intake.expectBody(length, request.method == "POST" && form);
}

void HTTPServer::requestRead(RequestHandlerInfo& connection) {
  RequestInfo& request = connection.request;
  RequestIntake& intake = connection.intake;
  request.variables["CONTENT_LENGTH"] = fmt::format("{:d}", intake.bodyLength());
  request.variables["QUERY_DATA"] = intake.takeBody();
  request.inputLeft = intake.inputLeft();
  peerLog(connection) << "Read " << intake.received() << " B\n";
  connection.state = ConnState::RequestRead;
  queued_.push_back(connection.reqid);
}

void HTTPServer::peerEnded(RequestHandlerInfo& connection) {
  const RequestIntake& intake = connection.intake;
  ResponseInfo response;
  if (intake.received() == 0) {
    LogLine("") << "Initial read is 0, this is not good\n";
    failTimedOut(response);
  } else if (intake.phase() == RequestIntake::Phase::Head) {
    peerLog(connection) << "Error: request header incomplete after " << intake.received() << " B\n";
    failWith(response, 400, "Incomplete request header");
  } else {
    LogLine("") << "Error: Spurious content_length: " << intake.bodyLength()
                << " != " << intake.bodyArrived();
  }
  // A peer that only half-closed still reads its answer.
  answerNow(connection, response, -1, -1, false);
}

void HTTPServer::answerNow(RequestHandlerInfo& connection, ResponseInfo response, int parseResult,
                           int dispatchResult, bool mayLinger) {
  if (parseResult != 0 && response.status == 0) response.status = 501;
  const ResponseMessage message = composeResponse(response, dispatchResult, knownStatus);
  const std::string& path = connection.request.path;
  if (parseResult != 0)
    peerLog(connection) << "Server request error " << message.code << " (pr=" << parseResult
                        << ") for " << logSafe(path);
  else if (dispatchResult != 0)
    peerLog(connection) << "Server error " << dispatchResult << " for " << logSafe(path) << ": "
                        << logSafe(response.message);
  peerLog(connection) << "Response: pr=" << parseResult << ", dr=" << dispatchResult << ": "
                      << message.code << " " << message.reason;
  connection.state = ConnState::Sending;
  // Small, to a socket whose buffer holds nothing of ours yet: it goes at
  // once or the peer is not worth waiting for.
  using std::chrono::milliseconds;
  const std::array<std::string_view, 4> pieces{message.head, message.body[0], message.body[1],
                                               message.body[2]};
  const SendResult sent = sendAll(connection.socket, pieces,
                                  SendLimits{milliseconds(0), SteadyTime::max(), milliseconds(0)});
  std::size_t size = 0;
  for (const std::string_view piece : pieces) size += piece.size();
  const bool whole = sent.sent == size;
  if (whole)
    peerLog(connection) << "Sent " << sent.sent << " B\n";
  else
    peerLog(connection) << "Send error: " << errorText(sent.error) << " (errc=" << sent.error
                        << ")\n";
  connection.state = ConnState::Sent;
  if (mayLinger && whole && connection.intake.inputLeft())
    startLingering(connection);
  else
    closeByListener(connection);
}

void HTTPServer::answerParkedNow(RequestHandlerInfo& connection) {
  connection.stop.request_stop();
  RequestInfo& request = connection.request;
  ResponseInfo response;
  int result = -1;
  try {
    result = (*connection.endpoint)(request.stopToken, request, response);
  } catch (...) {
    response = ResponseInfo();
  }
  if (response.wait) {
    response = ResponseInfo();
    result = failTimedOut(response);
  }
  answerNow(connection, response, 0, result, false);
}

void HTTPServer::startLingering(RequestHandlerInfo& connection) {
  if (::shutdown(connection.socket, SHUT_WR) != 0) return closeByListener(connection);
  connection.lingerDeadline = std::chrono::steady_clock::now() + io.linger;
  connection.state = ConnState::Lingering;
}

void HTTPServer::drainLingering(RequestHandlerInfo& connection) {
  char scratch[kReadSize];
  for (int reads = 0; reads < kReadsPerPass; ++reads) {
    const ssize_t n = ::recv(connection.socket, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n == 0 || !wouldBlock(errno)) closeByListener(connection);
    return;
  }
}

void HTTPServer::sendMore(RequestHandlerInfo& connection) {
  AnswerInFlight& answer = connection.answer;
  answer.sendWithoutWaiting(connection.socket);
  answer.lookAtPeer(connection.socket, std::chrono::steady_clock::now());
  // ETIMEDOUT: the peer has taken what it can for now; the budget is
  // checked with the other deadlines.
  if (answer.whole() || answer.sent.error != ETIMEDOUT) answerEnded(connection);
}

void HTTPServer::giveUpAnswer(RequestHandlerInfo& connection, const char* why) {
  peerLog(connection) << "Slow reader: " << why << "; the answer is given up after "
                      << connection.answer.sent.sent << " B";
  connection.answer.sent.error = ETIMEDOUT;
  answerEnded(connection);
}

void HTTPServer::answerEnded(RequestHandlerInfo& connection) {
  AnswerInFlight& answer = connection.answer;
  uncountAnswer(answer);
  logSendOutcome(connection);
  noteFollower(connection);
  const bool whole = answer.whole();
  answer = AnswerInFlight();  // the memory goes now, not when the record does
  connection.state = ConnState::Sent;
  if (whole && connection.request.inputLeft)
    startLingering(connection);
  else
    closeByListener(connection);
}

void HTTPServer::closeByListener(RequestHandlerInfo& connection) {
  closeSocket(connection);
  connection.state = ConnState::Closed;
}

void HTTPServer::checkDeadlines() {
  const SteadyTime now = std::chrono::steady_clock::now();
  const auto timeOut = [this](RequestHandlerInfo& connection) {
    ResponseInfo response;
    failTimedOut(response);
    answerNow(connection, response, -1, -1);
  };
  for (const auto& [record, state] : polled_) {
    if (!record || record->state != state) continue;
    RequestHandlerInfo& connection = *record;
    const RequestIntake& intake = connection.intake;
    if (state == ConnState::Accepted && intake.received() == 0 &&
        now >= connection.firstByteDeadline) {
      LogLine("") << "Initial read is -1, this is not good\n";
      timeOut(connection);
    } else if (state == ConnState::Accepted && now >= connection.requestDeadline) {
      peerLog(connection) << "Error: request header incomplete after " << intake.received()
                          << " B\n";
      timeOut(connection);
    } else if (state == ConnState::HeaderParsed && now >= connection.requestDeadline) {
      peerLog(connection) << "Error: request body incomplete: " << intake.bodyArrived() << " of "
                          << intake.bodyLength() << " B\n";
      timeOut(connection);
    } else if (state == ConnState::Lingering && now >= connection.lingerDeadline) {
      closeByListener(connection);
    } else if (state == ConnState::Writing) {
      // A reader that takes bytes shows it only in what the kernel still
      // holds for it: looked at now and then, and before it is judged.
      AnswerInFlight& answer = connection.answer;
      if (now - answer.lookedAt >= kPeerLook || now - answer.tookAt >= io.sendStall)
        answer.lookAtPeer(connection.socket, now);
      if (now >= answer.deadline)
        giveUpAnswer(connection, "over the answer's time");
      else if (now - answer.tookAt >= io.sendStall)
        giveUpAnswer(connection, "no progress");
    } else if (state == ConnState::Waiting &&
               (connection.stop.stop_requested() || now >= connection.wait.until ||
                (connection.wait.ready && connection.wait.ready()))) {
      // Its endpoint runs again on a worker, which answers or parks it anew.
      connection.result = std::future<int>();
      connection.state = ConnState::RequestRead;
      queued_.push_back(connection.reqid);
    }
  }
}
