#include "httpd/request_head.h"

#include <vector>

#include "httpd/header_field.h"
#include "httpd/split_string.h"

namespace {

bool singleValued(const std::string& name) {
  return name == "host" || name == "origin" || name == "content-length" || name == "content-type" ||
         name == "transfer-encoding";
}

int parseRequestLine(const std::string& line, const std::set<std::string>& methods,
                     const std::set<std::string>& versions, RequestHead& head,
                     ResponseInfo& response) {
  const std::vector<std::string> fields = splitString(line, " ");
  if (fields.size() < 2) {
    response.message = "Invalid request status line";
    return -1;
  }
  const std::vector<std::string> target = splitString(fields[1], "?");
  head.method = fields[0];
  head.path = target[0];
  if (target.size() > 1) head.query = target[1];
  if (fields.size() > 2) {
    head.version = fields[2];
    if (!versions.count(head.version)) {
      response.message = "HTTP Version is not supported";
      return -1;
    }
  }
  if (!methods.count(head.method)) {
    response.message = "Invalid HTTP method";
    return -1;
  }
  if (fields.size() > 3) {
    response.message = "Invalid request status line";
    return -1;
  }
  return 0;
}

int refuse(RequestHead& head, ResponseInfo& response, const char* message, std::string problem) {
  head.problem = std::move(problem);
  return failWith(response, 400, message);
}

}  // namespace

int parseRequestHead(std::string_view block, const std::set<std::string>& methods,
                     const std::set<std::string>& versions, RequestHead& head,
                     ResponseInfo& response) {
  std::size_t end = block.find("\r\n");
  if (end == std::string_view::npos) {
    response.message = "Invalid request status line";
    return -1;
  }
  if (parseRequestLine(std::string(block.substr(0, end)), methods, versions, head, response) != 0)
    return -1;
  for (std::size_t pos = end + 2; (end = block.find("\r\n", pos)) != std::string_view::npos;
       pos = end + 2) {
    if (end == pos) break;  // the blank line
    const std::string_view line = block.substr(pos, end - pos);
    HeaderField field = parseHeaderField(line);
    if (field.fault != HeaderField::Fault::None)
      return refuse(head, response, "Invalid header field",
                    std::string(headerFieldFaultText(field.fault)) + ": " + std::string(line));
    if (head.headers.count(field.name)) {
      if (singleValued(field.name))
        return refuse(head, response, "Repeated header field", "repeated " + field.name);
      ++head.repeated;
      continue;
    }
    head.headers.emplace(std::move(field.name), std::move(field.value));
  }
  return 0;
}
