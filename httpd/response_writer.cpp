#include "httpd/response_writer.h"

#include <map>
#include <string_view>

#include <fmt/format.h>

#include "httpd/json_writer.h"

// A line break in a reason or header value would end the line early and let
// the rest pass for headers of its own.
static void appendHeaderText(std::string& out, std::string_view text) {
  for (const char c : text) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
}

ResponseMessage composeResponse(const ResponseInfo& response, int dispatchResult,
                                const std::set<int>& knownStatus) {
  ResponseMessage message;
  std::string errorBody;
  std::string_view body = response.body;
  if (dispatchResult != 0) {
    message.reason = response.message.empty() ? "Internal Server Error" : response.message;
    message.code = knownStatus.count(response.status) ? response.status : 500;
    errorBody = "{\"error\": ";
    appendJsonString(errorBody, message.reason);
    errorBody += '}';
    body = errorBody;
  } else {
    if (response.status != 0) message.code = response.status;
    message.body = body;
  }

  std::map<std::string_view, std::string_view> headers;
  const std::string length = fmt::format("{:d}", body.size());
  if (!body.empty()) {
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
