#include <cerrno>
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

void requestTimeout(ResponseInfo& response) {
  response.status = 408;
  response.message = "Request Timeout";
  response.headers["Connection"] = "close";
}

void refuse(ResponseInfo& response, const char* message) {
  response.status = 501;
  response.message = message;
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
    if (length > (cap - digit) / 10) return LengthCheck::TooLarge;
    length = length * 10 + digit;
  }
  return LengthCheck::Ok;
}

}  // namespace

int HTTPServer::parseRequest(RequestHandlerInfo& connection, RequestInfo& request,
                             ResponseInfo& response) {
  const auto log = [&request] { return PeerLog(request.host, request.port); };
  const auto readError = [&](const RequestReader& reader) {
    log() << "Read error: " << errorText(reader.error()) << " (errc=" << reader.error() << ")\n";
    return -1;
  };

  RequestReader reader(connection.socket, request.stopToken, io);
  const Outcome headOutcome = reader.readHeaderBlock();
  if (headOutcome == Outcome::Failed) return readError(reader);
  if (headOutcome == Outcome::TooLarge) {
    log() << "Error: request header block over " << io.maxHeaderBytes << " B\n";
    refuse(response, "Request header too large");
    return -1;
  }
  if (reader.received() == 0) {
    LogLine("") << "Initial read is " << (headOutcome == Outcome::PeerClosed ? 0 : -1)
          << ", this is not good\n";
    requestTimeout(response);
    return -1;
  }
  if (headOutcome != Outcome::Complete && headOutcome != Outcome::PeerClosed) {
    log() << "Error: request header incomplete after " << reader.received() << " B\n";
    requestTimeout(response);
    return -1;
  }

  // The request line.
  const std::string_view head = reader.head();
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string_view::npos) {
    LogLine("") << "Error: Could not find \\r\\n in header\n";
    return -1;
  }
  const std::vector<std::string> fields = splitString(std::string(head.substr(0, lineEnd)), " ");
  if (fields.size() < 2) {
    response.message = "Invalid request status line";
    return -1;
  }
  const std::vector<std::string> target = splitString(fields[1], "?");
  request.method = fields[0];
  request.path = target[0];
  const std::string query = target.size() > 1 ? target[1] : std::string();
  const std::string version = fields.size() > 2 ? fields[2] : std::string();
  if (fields.size() > 2 && !versions.count(version)) {
    response.message = "HTTP Version is not supported";
    return -1;
  }
  if (!methods.count(request.method)) {
    response.message = "Invalid HTTP method";
    return -1;
  }
  if (fields.size() > 3) {
    response.message = "Invalid request status line";
    return -1;
  }

  RFC822Message message(std::string(head.substr(lineEnd + 2)), true);
  log() << "HTTP header: " << request.method << " " << logSafe(request.path) << " "
        << logSafe(version);
  connection.state = ConnState::HeaderParsed;

  // Exactly Content-Length body bytes; without it, no body.
  std::string body;
  if (const auto header = message.headers.find("content-length"); header != message.headers.end()) {
    std::size_t length = 0;
    switch (parseContentLength(header->second, io.maxBodyBytes, length)) {
      case LengthCheck::Invalid:
        log() << "Error: invalid content length: " << logSafe(header->second);
        refuse(response, "Invalid Content-Length");
        return -1;
      case LengthCheck::TooLarge:
        log() << "Error: content length " << logSafe(header->second) << " over "
              << io.maxBodyBytes << " B";
        refuse(response, "Request too large");
        return -1;
      case LengthCheck::Ok:
        break;
    }
    if (headOutcome == Outcome::Complete) {
      const Outcome bodyOutcome = reader.readBody(length, body);
      if (bodyOutcome == Outcome::Failed) return readError(reader);
      if (bodyOutcome == Outcome::TimedOut || bodyOutcome == Outcome::Stopped) {
        log() << "Error: request body incomplete: " << body.size() << " of " << length << " B\n";
        requestTimeout(response);
        return -1;
      }
    }
    if (body.size() != length) {
      LogLine("") << "Error: Spurious content_length: " << length << " != " << body.size();
      return -1;
    }
  }
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
  log() << "Read " << reader.received() << " B\n";
  connection.state = ConnState::RequestRead;
  return 0;
}
