#pragma once
// The monitor's HTTP server: its fixed sets, routes, connection table and
// worker pool, and the serving of one connection by a worker: parse the
// request, dispatch it to an endpoint, write one answer, close.
//
// Serving never blocks without bound and never kills the process: reads and
// writes go through poll() slices under the deadlines of `io`, sends use
// MSG_NOSIGNAL, and a throwing parser or endpoint is answered with 500. The
// listener that accepts connections and feeds them to `pool` builds on the
// connection-table calls below.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>

#include "httpd/connection.h"
#include "httpd/io_settings.h"
#include "httpd/request_info.h"
#include "httpd/routes.h"
#include "httpd/thread_pool.h"

class HTTPServer {
 public:
  // Starts the worker pool.
  HTTPServer(std::string port, std::string documentRoot);
  // Stops every connection still open (so waiting endpoints end), then waits
  // for the workers.
  ~HTTPServer();
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  const std::set<std::string> methods{"GET", "POST", "PUT", "DELETE"};
  const std::set<std::string> versions{"HTTP/0.9", "HTTP/1.0", "HTTP/1.1"};
  const std::set<int> knownStatus{200, 401, 404, 408, 418, 501};
  const std::map<std::string, std::string> mimeTypes{
      {"html", "text/html"}, {"js", "text/javascript"}, {"css", "text/css"},
      {"json", "text/json"}, {"xml", "text/xml"},       {"xsl", "text/xsl"},
      {"txt", "text/plain"}};
  std::unique_ptr<std::function<int(int)>> notify;  // called by the listener after each pass
  long tick = 0;
  int maxConnections = 100;
  int poolSize = 5;
  std::atomic<int> quit{0};
  std::string port;
  std::string documentRoot;
  int listenSocket = 0;  // 0: none
  std::mutex mutex;      // orders the listener's start after its naming

  // Connection table by request id. Only the listener inserts and removes
  // records; workers find theirs once, under connectionsMutex, and keep it
  // by shared_ptr.
  std::mutex connectionsMutex;
  std::map<long, std::shared_ptr<RequestHandlerInfo>> connections;

  RouteTable routes;
  ConnectionIOSettings io;
  // Last of the members the workers use, so that it is destroyed (and its
  // workers joined) first.
  ThreadPool pool;
  std::stop_source listenerStop;

  // Enters a record {reqid, socket, state 0, flags 0, host, port, a fresh
  // stop source} in the table and returns it.
  std::shared_ptr<RequestHandlerInfo> addConnection(long reqid, int socket, std::string host,
                                                    std::string port);
  // The record of reqid, or null.
  std::shared_ptr<RequestHandlerInfo> findConnection(long reqid);

  // The work item handed to a worker: serves reqid on `server`.
  static int s_handleRequest(void* server, long reqid);
  // Serves the connection, closes its socket and sets state 7; the result of
  // processRequest, or -1 when reqid has no record.
  int handleRequest(long reqid);
  // Parses, dispatches and answers; the dispatch result (-1 after a parse
  // failure or an exception).
  int processRequest(RequestHandlerInfo& connection);
  // Reads and parses the request into `request`; 0, or -1 with the answer's
  // status and message left in `response`.
  int parseRequest(RequestHandlerInfo& connection, RequestInfo& request, ResponseInfo& response);
  // Runs the endpoint of the first matching route; its result, or -1 with 404
  // "Not found". `endpoint` receives the endpoint that ran (null for none).
  int dispatchRequest(RequestInfo& request, ResponseInfo& response,
                      const HTTPEndPoint** endpoint = nullptr);

 private:
  // Sends the answer and lingers when unread input may be pending.
  void writeResponse(RequestHandlerInfo& connection, const RequestInfo& request,
                     const ResponseInfo& response, int parseResult, int dispatchResult);
};
