#include <map>
#include <set>
#include <string_view>

#include <fmt/format.h>

#include "httpd/cgi.h"
#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_safe.h"
#include "httpd/peer_log.h"
#include "httpd/request_reader.h"
#include "httpd/rfc822_message.h"
#include "httpd/split_string.h"

namespace {

using Outcome = RequestReader::Outcome;

PeerLog peerLog(const RequestInfo& request) { return PeerLog(request.host, request.port); }

int readError(const RequestInfo& request, const RequestReader& reader) {
  peerLog(request) << "Read error: " << errorText(reader.error()) << " (errc=" << reader.error()
                   << ")\n";
  return -1;
}

// The header block, whole or up to the peer's end of stream.
int readHead(RequestReader& reader, Outcome& outcome, const RequestInfo& request,
             ResponseInfo& response, const ConnectionIOSettings& io) {
  outcome = reader.readHeaderBlock();
  if (outcome == Outcome::Failed) return readError(request, reader);
  if (outcome == Outcome::TooLarge) {
    peerLog(request) << "Error: request header block over " << io.maxHeaderBytes << " B\n";
    return failWith(response, 501, "Request header too large");
  }
  if (reader.received() == 0) {
    LogLine("") << "Initial read is " << (outcome == Outcome::PeerClosed ? 0 : -1)
                << ", this is not good\n";
    return failTimedOut(response);
  }
  if (outcome != Outcome::Complete && outcome != Outcome::PeerClosed) {
    peerLog(request) << "Error: request header incomplete after " << reader.received() << " B\n";
    return failTimedOut(response);
  }
  return 0;
}

// "METHOD target [VERSION]"; the target's path and query.
int parseRequestLine(const std::string& line, const std::set<std::string>& methods,
                     const std::set<std::string>& versions, RequestInfo& request,
                     ResponseInfo& response, std::string& query, std::string& version) {
  const std::vector<std::string> fields = splitString(line, " ");
  if (fields.size() < 2) {
    response.message = "Invalid request status line";
    return -1;
  }
  const std::vector<std::string> target = splitString(fields[1], "?");
  request.method = fields[0];
  request.path = target[0];
  if (target.size() > 1) query = target[1];
  if (fields.size() > 2) {
    version = fields[2];
    if (!versions.count(version)) {
      response.message = "HTTP Version is not supported";
      return -1;
    }
  }
  if (!methods.count(request.method)) {
    response.message = "Invalid HTTP method";
    return -1;
  }
  if (fields.size() > 3) {
    response.message = "Invalid request status line";
    return -1;
  }
  return 0;
}

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

// Exactly Content-Length body bytes; without the header, no body.
int readBody(RequestReader& reader, Outcome headOutcome,
             const std::map<std::string, std::string>& headers, const ConnectionIOSettings& io,
             const RequestInfo& request, ResponseInfo& response, std::string& body) {
  const auto header = headers.find("content-length");
  if (header == headers.end()) return 0;
  std::size_t length = 0;
  switch (parseContentLength(header->second, io.maxBodyBytes, length)) {
    case LengthCheck::Invalid:
      peerLog(request) << "Error: invalid content length: " << logSafe(header->second);
      return failWith(response, 501, "Invalid Content-Length");
    case LengthCheck::TooLarge:
      peerLog(request) << "Error: content length " << logSafe(header->second) << " over "
                       << io.maxBodyBytes << " B";
      return failWith(response, 501, "Request too large");
    case LengthCheck::Ok:
      break;
  }
  // After an early end of stream no body has come.
  if (headOutcome == Outcome::Complete) {
    const Outcome outcome = reader.readBody(length, body);
    if (outcome == Outcome::Failed) return readError(request, reader);
    if (outcome == Outcome::TimedOut || outcome == Outcome::Stopped) {
      peerLog(request) << "Error: request body incomplete: " << body.size() << " of " << length
                       << " B\n";
      return failTimedOut(response);
    }
  }
  if (body.size() != length) {
    LogLine("") << "Error: Spurious content_length: " << length << " != " << body.size();
    return -1;
  }
  return 0;
}

// The CGI parameters of the query (the form body for a POST), logged.
int takeParameters(RequestInfo& request, const std::string& query) {
  CGI cgi(request.variables);
  if (request.method == "POST")
    cgi.parsePostRequest();
  else
    cgi.parseQueryString(query);
  if (cgi.failed) {
    LogLine("") << "Error: CGI parsing failed";
    return -1;
  }
  for (auto& [name, parameter] : cgi.parameters) {
    {
      LogLine line("");
      line << "CGI param: " << logSafe(name) << "=";
      for (const auto& [headerName, headerValue] : parameter.headers)
        line << logSafe(headerName) << ": " << logSafe(headerValue) << "\\r\\n";
      if (!parameter.headers.empty()) line << "\\r\\n";
      line << logSafe(parameter.body);
    }
    request.parameters[name] = std::move(parameter.body);
  }
  return 0;
}

}  // namespace

int HTTPServer::parseRequest(RequestHandlerInfo& connection, RequestInfo& request,
                             ResponseInfo& response) {
  RequestReader reader(connection.socket, request.stopToken, io);
  Outcome headOutcome = Outcome::Failed;
  if (readHead(reader, headOutcome, request, response, io) != 0) return -1;

  const std::string_view head = reader.head();
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string_view::npos) {
    LogLine("") << "Error: Could not find \\r\\n in header\n";
    return -1;
  }
  std::string query, version;
  if (parseRequestLine(std::string(head.substr(0, lineEnd)), methods, versions, request, response,
                       query, version) != 0)
    return -1;
  RFC822Message message(std::string(head.substr(lineEnd + 2)), true);
  peerLog(request) << "HTTP header: " << request.method << " " << logSafe(request.path) << " "
                   << version;
  connection.state = ConnState::HeaderParsed;

  std::string body;
  if (readBody(reader, headOutcome, message.headers, io, request, response, body) != 0) return -1;
  request.inputLeft = reader.inputLeft();

  request.headers = std::move(message.headers);
  const auto contentType = request.headers.find("content-type");
  request.variables["PATH_INFO"] = request.path;
  request.variables["QUERY_STRING"] = query;
  request.variables["REQUEST_METHOD"] = request.method;
  request.variables["CONTENT_LENGTH"] = fmt::format("{:d}", body.size());
  request.variables["CONTENT_TYPE"] =
      contentType == request.headers.end() ? std::string() : contentType->second;
  request.variables["QUERY_DATA"] = std::move(body);
  if (takeParameters(request, query) != 0) return -1;

  peerLog(request) << "Read " << reader.received() << " B\n";
  connection.state = ConnState::RequestRead;
  return 0;
}
