#include "httpd/response_writer.h"

#include <fmt/format.h>

#include <map>
#include <string_view>

#include "httpd/json_writer.h"

// A line break in a reason or header value would end the line early and let
// the rest pass for headers of its own.
static void appendHeaderText(std::string& out, std::string_view text) {
  for (const char c : text) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
}

const char* reasonPhrase(int code) {
  switch (code) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 418:
      return "I'm a teapot";
    case 421:
      return "Misdirected Request";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "";
  }
}

ResponseMessage composeResponse(const ResponseInfo& response, int dispatchResult,
                                const std::set<int>& knownStatus) {
  ResponseMessage message;
  std::string errorBody;
  std::size_t bodySize = response.bodySize();
  if (dispatchResult != 0) {
    message.code = knownStatus.count(response.status) ? response.status : 500;
    errorBody = "{\"error\": ";
    appendJsonString(errorBody,
                     response.message.empty() ? "Internal Server Error" : response.message);
    errorBody += '}';
    bodySize = errorBody.size();
  } else {
    if (response.status != 0) message.code = response.status;
    message.body = {response.body, response.sharedBody.text, response.bodyEnd};
  }
  message.reason = reasonPhrase(message.code);

  // One request per connection; the content types are ours, never to be
  // guessed by a browser; the monitor's pages are not to be framed by
  // another site's.
  std::map<std::string_view, std::string_view> headers{
      {"Connection", "close"},
      {"X-Content-Type-Options", "nosniff"},
      {"Content-Security-Policy", "frame-ancestors 'none'"}};
  const std::string length = fmt::format("{:d}", bodySize);
  if (bodySize > 0) {
    headers["Content-Type"] = response.contentType.empty() ? std::string_view("text/json")
                                                           : std::string_view(response.contentType);
    headers["Content-Length"] = length;
  }
  for (const auto& [name, value] : response.headers) headers[name] = value;

  std::string& out = message.head;
  out.reserve(256 + errorBody.size());
  out += fmt::format("HTTP/1.1 {:d} ", message.code);
  appendHeaderText(out, message.reason);
  out += "\r\n";
  for (const auto& [name, value] : headers) {
    appendHeaderText(out, name);
    out += ": ";
    appendHeaderText(out, value);
    out += "\r\n";
  }
  out += "\r\n";
  out += errorBody;
  return message;
}
