// Static files of the document root.
//
// The file is the document root, "/" and the name the route captured; a
// name with more than one dot or more than two slashes is refused, which
// keeps ".." out. Only regular files are served (never a directory, a device
// or a FIFO, which could block the worker), up to a size cap. An empty
// document root serves nothing: it must not turn the name into a path from
// the file system's root.

#include <algorithm>

#include "httpd/http_server.h"
#include "httpd/monitor_endpoints.h"
#include "httpd/read_file.h"

namespace {

// The name's extension without its dot, or "".
std::string extensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

}  // namespace

int handleStaticFile(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  const HTTPServer& server = context.server;
  const std::string& name = request.parameters["name"];
  if (std::count(name.begin(), name.end(), '.') > 1 || std::count(name.begin(), name.end(), '/') > 2)
    return failWith(response, 401, "Forbidden");
  if (server.documentRoot.empty()) return failWith(response, 404, "File not found");

  switch (readRegularFile(server.documentRoot + "/" + name, server.waits.maxStaticFileBytes,
                          response.body)) {
    case FileRead::Ok:
      break;
    case FileRead::TooLarge:
      response.body.clear();
      return failWith(response, 501, "File too large");
    case FileRead::Missing:
    case FileRead::NotRegular:
      response.body.clear();
      return failWith(response, 404, "File not found");
  }
  const std::string& type = request.parameters["type"];
  const auto mime = server.mimeTypes.find(type.empty() ? extensionOf(name) : type);
  response.contentType = mime == server.mimeTypes.end() ? "application/octet-stream" : mime->second;
  return 0;
}
