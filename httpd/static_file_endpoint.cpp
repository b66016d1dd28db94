// Static files of the document root.
//
// The file is the name the route captured, below the document root; a name
// with more than one dot or more than two slashes is refused, and a path
// that would lead out of the root (through ".." or any symbolic link) finds
// no file. Only regular files are served (never a directory, a device or a
// FIFO, which could block the worker), up to a size cap. An empty document
// root serves nothing: it must not turn the name into a path from the file
// system's root.
//
// The content type is the file's: that of its extension. The type a route
// names in its path counts only for a file whose extension has none, and a
// query parameter never counts, so no request can make a script pass for a
// page.

#include <algorithm>

#include "httpd/http_server.h"
#include "httpd/monitor_endpoints.h"
#include "httpd/read_file.h"

namespace {

// The name's extension without its dot, or "".
std::string extensionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  const std::size_t slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  return name.substr(dot + 1);
}

int serveStaticFile(MonitorContext& context, const RequestInfo& request,
                    const std::string& typeHint, ResponseInfo& response) {
  const std::string& name = request.parameters["name"];
  const HTTPServer& server = context.server;
  if (std::count(name.begin(), name.end(), '.') > 1 ||
      std::count(name.begin(), name.end(), '/') > 2)
    return failWith(response, 401, "Forbidden");
  if (server.documentRoot.empty()) return failWith(response, 404, "File not found");

  switch (readRegularFileBeneath(server.documentRoot, name, server.waits.maxStaticFileBytes,
                                 response.body, request.stopToken)) {
    case FileRead::Ok:
      break;
    case FileRead::Stopped:
      response.body.clear();
      return failTimedOut(response);
    case FileRead::TooLarge:
      response.body.clear();
      return failWith(response, 501, "File too large");
    case FileRead::Missing:
    case FileRead::NotRegular:
      response.body.clear();
      return failWith(response, 404, "File not found");
  }
  auto mime = server.mimeTypes.find(extensionOf(name));
  if (mime == server.mimeTypes.end()) mime = server.mimeTypes.find(typeHint);
  response.contentType = mime == server.mimeTypes.end() ? "application/octet-stream" : mime->second;
  return 0;
}

}  // namespace

int handleStaticFile(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  return serveStaticFile(context, request, std::string(), response);
}

int handleTypedStaticFile(MonitorContext& context, const RequestInfo& request,
                          ResponseInfo& response) {
  return serveStaticFile(context, request, request.parameters["type"], response);
}
