#include "httpd/monitor_routes.h"

#include <memory>

#include "httpd/http_server.h"
#include "httpd/monitor_endpoints.h"

int handleRoot(const RequestInfo&, ResponseInfo& response) {
  response.status = 302;
  response.headers["Location"] = "/index.html";
  return 0;
}

namespace {

using Handler = int (*)(MonitorContext&, const RequestInfo&, ResponseInfo&);
using WaitingHandler = int (*)(MonitorContext&, std::stop_token, const RequestInfo&, ResponseInfo&);

// The endpoints share the context; the last one to go frees it.
std::unique_ptr<HTTPEndPoint> endpoint(const std::shared_ptr<MonitorContext>& context,
                                       std::vector<std::string> names, Handler handler,
                                       EndpointTraits traits = {}) {
  return makeEndPoint(
      std::move(names),
      [context, handler](const RequestInfo& request, ResponseInfo& response) {
        return handler(*context, request, response);
      },
      traits);
}

std::unique_ptr<HTTPEndPoint> waitingEndpoint(const std::shared_ptr<MonitorContext>& context,
                                              std::vector<std::string> names,
                                              WaitingHandler handler, EndpointTraits traits = {}) {
  return makeStoppableEndPoint(
      std::move(names),
      [context, handler](std::stop_token stop, const RequestInfo& request, ResponseInfo& response) {
        return handler(*context, std::move(stop), request, response);
      },
      traits);
}

}  // namespace

void registerMonitorRoutes(HTTPServer& server, const MonitorSources& sources) {
  const auto context = std::make_shared<MonitorContext>(sources, server);
  RouteTable& routes = server.routes;
  const std::vector<std::string> named{"path", "name"};
  const EndpointTraits changes{.changesRun = true};
  const EndpointTraits changesByForm{.changesRun = true, .takesForm = true};
  const EndpointTraits followed{.followed = true};
  routes.add("GET", "/", makeEndPoint({}, handleRoot));
  routes.add("GET", "/option/([a-zA-Z0-9_]+)/?", endpoint(context, named, handleGetOption));
  routes.add("PUT", "/option/([a-zA-Z0-9_]+)/?",
             endpoint(context, named, handleSetOption, changes));
  routes.add("POST", "/set-option/?", endpoint(context, named, handleSetOption, changesByForm));
  routes.add("GET", "/options/?", endpoint(context, {}, handleListOptions));
  routes.add("GET", "/status/?", endpoint(context, {}, handleListStatus));
  routes.add("GET", "/history/?", endpoint(context, {}, handleHistory, followed));
  routes.add("GET", "/history/update/?",
             waitingEndpoint(context, {}, handleHistoryUpdate, followed));
  routes.add("GET", "/data/([a-zA-Z0-9_]+)/?", endpoint(context, named, handleGetData));
  routes.add("GET", "/data/?", endpoint(context, {}, handleListData));
  routes.add("GET", "/(html|js|css|json|xml|txt)/([a-zA-Z0-9\\._/-]+)/?",
             endpoint(context, {"path", "type", "name"}, handleTypedStaticFile));
  routes.add("GET", "/(get|file)/([a-zA-Z0-9\\._/-]+)/?",
             endpoint(context, {"path", "mode", "name"}, handleStaticFile));
  routes.add("GET", "/(index.html|favicon.ico)", endpoint(context, named, handleStaticFile));
  routes.add("GET", "/delay/([0-9]+)/?", waitingEndpoint(context, {"path", "dur"}, handleDelay));
  routes.add("POST", "/server-quit/([0-9]+)/?",
             endpoint(context, {"path", "dur"}, handleServerQuit, changes));
  server.notify = std::make_unique<std::function<int(int)>>(
      [context](int tick) { return historyNotify(context->feed, tick); });
  server.followedEnd = [context] { return context->feed.presentSize(); };
}
