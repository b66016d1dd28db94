#pragma once
// The monitor's HTTP server: its fixed sets, routes, connection table and
// worker pool; the serving of one connection by a worker (parse the request,
// dispatch it to an endpoint, write one answer, close); and the listener
// thread that accepts connections and feeds them to the workers.
//
// Serving never blocks without bound and never kills the process: reads and
// writes go through poll() slices under the deadlines of `io`, sends use
// MSG_NOSIGNAL, and a throwing parser or endpoint is answered with 500.
//
// The listener never blocks either. It hands a new connection to an idle
// worker, or queues it (first come, first served) when none is idle, and
// between accepts keeps up its housekeeping: handing queued connections to
// workers as they free up, removing finished connections, marking peers that
// went away (which stops their waiting endpoints) and calling `notify`. It
// accepts nothing while the table is full.

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "httpd/connection.h"
#include "httpd/delayed_quit.h"
#include "httpd/io_settings.h"
#include "httpd/request_info.h"
#include "httpd/routes.h"
#include "httpd/thread_pool.h"

class HTTPServer {
 public:
  // Starts the worker pool; with a pool size below 1 every connection gets
  // a thread of its own instead. Throws std::system_error when a thread
  // cannot be started.
  HTTPServer(std::string port, std::string documentRoot, int poolSize = 5);
  // stop().
  ~HTTPServer();
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  const std::set<std::string> methods{"GET", "POST", "PUT", "DELETE"};
  const std::set<std::string> versions{"HTTP/0.9", "HTTP/1.0", "HTTP/1.1"};
  const std::set<int> knownStatus{200, 400, 401, 404, 408, 418, 501};
  const std::map<std::string, std::string> mimeTypes{
      {"html", "text/html"}, {"js", "text/javascript"}, {"css", "text/css"},
      {"json", "text/json"}, {"xml", "text/xml"},       {"xsl", "text/xsl"},
      {"txt", "text/plain"}};
  std::unique_ptr<std::function<int(int)>> notify;  // called by the listener after each pass
  long tick = 0;
  int maxConnections = 100;
  int poolSize;
  std::atomic<int> quit{0};
  std::string port;
  std::string documentRoot;
  int listenSocket = -1;  // -1: none (0 is a valid descriptor)
  int boundPort = 0;      // the port setup() bound
  // Set-option and server-quit also for peers on other hosts, and without
  // the Host and Origin checks.
  bool allowRemoteSet = false;

  // Orders the listener's start after its naming; guards listenerStarted,
  // listenerDone and waiters.
  std::mutex mutex;
  std::condition_variable listenerEnded;
  bool listenerStarted = false;
  bool listenerDone = false;
  int waiters = 0;  // callers between beginWait() and the end of waitForListener()

  // Connection table by request id. Only the listener inserts and removes
  // records; workers find theirs once, under connectionsMutex, and keep it
  // by shared_ptr.
  std::mutex connectionsMutex;
  std::map<long, std::shared_ptr<RequestHandlerInfo>> connections;

  RouteTable routes;
  ConnectionIOSettings io;
  MonitorWaits waits;
  // Last of the members the workers use, so that it is destroyed (and its
  // workers joined) first.
  ThreadPool pool;
  std::stop_source listenerStop;
  std::jthread listener;    // runs acceptLoop; stopped through listenerStop
  DelayedQuit delayedQuit{quit};
  std::deque<long> waiting;  // listener only: accepted, no worker free yet

  // Binds and listens on `port`: a decimal port number and the nine above it
  // in turn, any other service once. False (after the messages) when nothing
  // binds or the service does not resolve.
  bool setup();
  // Creates the listener thread, named "KVARN HTTPD", with traps off.
  void startListener();
  static int s_accept_loop(std::stop_token stop, void* server);
  int acceptLoop(std::stop_token stop);
  // One housekeeping pass: reap, mark departed peers, notify.
  void checkConnections();
  // Removes the records whose connection is finished.
  void reapConnections();
  // Blocks until the listener loop has ended (at once when it never ran).
  // Call beginWait() first, while the server is known to be alive; stop()
  // lets every such waiter return before it goes on.
  void beginWait();
  void waitForListener();
  // Ends the server's activity: the listener, then every connection
  // (stopped and, after a grace for answers under way, shut down), the
  // workers and the delayed quit; closes the listening socket last. Call it
  // from one thread; it runs once, later calls return at once.
  void stop() noexcept;

  // Enters a record {reqid, socket, state 0, flags 0, host, port, a fresh
  // stop source} in the table and returns it.
  std::shared_ptr<RequestHandlerInfo> addConnection(long reqid, int socket, std::string host,
                                                    std::string port);
  // The record of reqid, or null.
  std::shared_ptr<RequestHandlerInfo> findConnection(long reqid);
  // Closes the connection's socket unless that was done; takes the table
  // lock for it.
  void closeSocket(RequestHandlerInfo& connection);

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
  bool stopped_ = false;  // stop() ran
  std::vector<pollfd> pollEntries_;  // listener only, reused by every pass
  std::vector<RequestHandlerInfo*> polled_;

  // The connection on `socket` from `peer`: recorded, then handed to a
  // worker or queued.
  void admitConnection(long reqid, int socket, const sockaddr* peer, socklen_t peerLength);
  // Hands queued connections to idle workers, oldest first.
  void handOverWaiting();
  // False when no worker is free (the connection stays queued).
  bool handOver(RequestHandlerInfo& connection);
  bool tableFull();
  // Closes a connection nobody serves; the next reaping pass removes it.
  void dropConnection(RequestHandlerInfo& connection);
  // After the workers: closes the sockets that nobody served.
  void closeUnserved();
  // Every open socket: shutdown(how), after a stop request on its record.
  void shutdownConnections(int how);
  // Waits until no worker or connection thread is serving, or until deadline.
  void waitUntilServed(std::chrono::steady_clock::time_point deadline);
  void joinConnectionThreads();
  void closeListenSocket() noexcept;

  // Sends the answer and lingers when unread input may be pending.
  void writeResponse(RequestHandlerInfo& connection, const RequestInfo& request,
                     const ResponseInfo& response, int parseResult, int dispatchResult);
};
