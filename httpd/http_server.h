#pragma once
// The monitor's HTTP server: its fixed sets, routes, connection table and
// worker pool, the listener thread, and the workers' part of serving a
// request.
//
// Waiting for a peer's request, or for an event a request waits for, never
// holds a worker. The listener thread does all of that: it accepts
// connections, reads each request (header block, then exactly Content-Length
// body bytes) under its deadlines, checks its header fields and answers a
// refusal itself; it parks connections whose endpoint waits (a history poll,
// a delay) and wakes them when their event or time comes; and it drains what
// a refused peer still sends before the close. The checks of a request (Host,
// route, who may change the run) come before any byte of its body is read:
// on the listener for a request with a body, on the worker otherwise. A
// worker takes a connection only once its request is complete: it parses the
// parameters (a form only for a route that takes one), runs the endpoint and
// sends the answer. Workers that are all busy leave complete requests
// queued, first come first served.
//
// Nor does a peer that reads its answer slowly hold a worker: the worker
// sends what the socket takes at once, which is the whole of most answers,
// and hands the rest to the listener, which sends more whenever the peer
// has read some. So however many peers read long answers at once, and
// however slowly, the workers stay free for new requests, and one thread
// does the waiting for all of them. The kernel is let hold little of an
// answer unsent (ConnectionIOSettings::unsentLow), so the socket polls
// writable as soon as the peer has read some, and a reader is judged by
// what it has taken (what the kernel no longer holds for it, sent and
// acknowledged), never by what the kernel accepted on its behalf. It is
// judged by its rate alone: every answer has a budget (ConnectionIOSettings),
// a time plus its size at a minimum rate, and a no-progress deadline; a
// reader at that rate or above gets the whole answer, however long it takes.
// The bytes that answers on their way hold are capped (AnswerMemory), text
// that answers share (the history's) counted once: an answer the cap cannot
// hold is refused with 503 before its first byte, never cut after it.
//
// When the table is full, the listener makes room for a new connection by
// shedding one that no worker holds: a lingering one first, then the oldest
// still sending its request, then the oldest parked one, then the oldest
// answer whose reader takes it more slowly than the budget's rate. Complete
// requests and answers read at that rate are never shed; when only they
// fill the table nothing is accepted (new peers wait in the kernel's
// backlog, sized for bursts) and a warning is logged now and then.
//
// A quit or a stop does not drop what is under way: the listener goes on
// serving, for the stop's grace at most, until the requests that had
// arrived whole when it began are answered (an answer whose rest the
// listener sends counts as answered: a long answer's reader, or a peer that
// reads nothing, holds nothing up, and is cut when the closing ends). A
// request still arriving then gets 408 at the end, and one that arrives
// later is served while the closing lasts, but holds nothing up. At a stop
// (a quit leaves the run going, with no last record to deliver) the closing
// also waits for the followers of the history that have records left to
// fetch: one with a position of its own that its last answer left before
// the history's end, which has not come back and has not hung up
// (follower_log.h); one without, that shares its position with others,
// answered just now. Meanwhile nothing waits: a parked or arriving history
// poll gets the records after its position, or 408 when there are none, so
// every follower receives the records the run appended before it stopped,
// and a stop whose followers all hold them ends at once. Once a stop's
// closing has ended, what is sent is thrown away: no endpoint runs any more
// and no worker sends on.
//
// Serving never blocks without bound and never kills the process: sends use
// MSG_NOSIGNAL under their budget, parsing has the request's deadline, and a
// throwing parser or endpoint is answered with 500.

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "httpd/answer_memory.h"
#include "httpd/connection.h"
#include "httpd/delayed_quit.h"
#include "httpd/follower_log.h"
#include "httpd/io_settings.h"
#include "httpd/local_access.h"
#include "httpd/request_info.h"
#include "httpd/routes.h"
#include "httpd/socket_io.h"
#include "httpd/thread_pool.h"

class HTTPServer {
 public:
  // Starts the worker pool; with a pool size below 1 every request gets a
  // thread of its own instead. Throws std::system_error when a thread cannot
  // be started.
  HTTPServer(std::string port, std::string documentRoot, int poolSize = 5);
  // stop().
  ~HTTPServer();
  HTTPServer(const HTTPServer&) = delete;
  HTTPServer& operator=(const HTTPServer&) = delete;

  const std::set<std::string> methods{"GET", "POST", "PUT", "DELETE"};
  const std::set<std::string> versions{"HTTP/0.9", "HTTP/1.0", "HTTP/1.1"};
  const std::set<int> knownStatus{200, 400, 401, 404, 408, 418, 421, 501, 503};
  const std::map<std::string, std::string> mimeTypes{
      {"html", "text/html"}, {"js", "text/javascript"}, {"css", "text/css"},  {"json", "text/json"},
      {"xml", "text/xml"},   {"xsl", "text/xsl"},       {"txt", "text/plain"}};
  std::unique_ptr<std::function<int(int)>> notify;  // called by the listener after each pass
  // The present end of what the followed endpoints serve (the history's
  // size), or nothing when it cannot be had without waiting; called by the
  // listener while it closes. Set with the routes; without it, a follower
  // with a position counts as behind.
  std::function<std::optional<std::size_t>()> followedEnd;
  long tick = 0;
  int maxConnections = 100;
  int poolSize;
  std::atomic<int> quit{0};
  std::string port;
  std::string documentRoot;
  int listenSocket = -1;  // -1: none (0 is a valid descriptor)
  int boundPort = 0;      // the port setup() bound
  // Any Host, and set-option and server-quit also for peers on other hosts
  // and without the Host and Origin checks.
  bool allowRemoteSet = false;
  // The names a Host header may give besides IP literals and "localhost".
  std::vector<std::string> ownNames = machineHostNames();

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
  std::jthread listener;  // runs acceptLoop; stopped through listenerStop
  DelayedQuit delayedQuit{quit};

  // Binds and listens on `port`: a decimal port number and the nine above it
  // in turn, any other service once. False (after the messages) when nothing
  // binds or the service does not resolve.
  bool setup();
  // Creates the listener thread, named "KVARN HTTPD", with traps off.
  void startListener();
  static int s_accept_loop(std::stop_token stop, void* server);
  int acceptLoop(std::stop_token stop);
  // The end of a listener pass: reap, then notify.
  void checkConnections();
  // Removes the records whose connection is finished.
  void reapConnections();
  // Blocks until the listener loop has ended (at once when it never ran).
  // Call beginWait() first, while the server is known to be alive; stop()
  // lets every such waiter return before it goes on.
  void beginWait();
  void waitForListener();
  // Ends the server's activity: the listener (which first serves on for the
  // stop's grace at most, then answers every request it still holds: 408
  // for the unread and queued ones, a parked endpoint's answer for the
  // parked ones, and gives up the answers it still sends), then every
  // connection a worker holds (stopped and, once its answer is made or the
  // grace is over, shut down), the workers and the delayed quit; closes the
  // listening socket last. Call it from one thread; it runs once, later
  // calls return at once.
  void stop() noexcept;

  // Enters a record {reqid, socket, state Accepted, host, port, a fresh stop
  // source, the request's deadlines from now} in the table and returns it.
  std::shared_ptr<RequestHandlerInfo> addConnection(long reqid, int socket, std::string host,
                                                    std::string port);
  // The record of reqid, or null.
  std::shared_ptr<RequestHandlerInfo> findConnection(long reqid);
  // Closes the connection's socket unless that was done; takes the table
  // lock for it.
  void closeSocket(RequestHandlerInfo& connection);

  // The work item handed to a worker: serves reqid on `server`.
  static int s_handleRequest(void* server, long reqid);
  // Runs the endpoint of the connection's complete request and answers;
  // closes the socket unless the connection went back to the listener. The
  // endpoint's result, or -1 when reqid has no record.
  int handleRequest(long reqid);

  // The checks of a request whose header block has been read (before any
  // byte of its body is), in order: a
  // malformed Host (400) or one that names another machine (421), the route
  // (404, its captures into the parameters), and for an endpoint that
  // changes the run, the caller (401). The endpoint, or null with the
  // failure in response.
  HTTPEndPoint* routeRequest(RequestInfo& request, ResponseInfo& response);
  // The endpoint's parameters (the query string, or the form body of a POST
  // to a route that takes one) joined to the route's, then its call.
  int runEndpoint(HTTPEndPoint& endpoint, RequestInfo& request, ResponseInfo& response);
  // Both in a row; `endpoint` receives the endpoint that ran (null for none).
  int dispatchRequest(RequestInfo& request, ResponseInfo& response,
                      const HTTPEndPoint** endpoint = nullptr);

 private:
  bool stopped_ = false;  // stop() ran
  // Set by the listener when a quit or stop begins its closing.
  std::atomic<bool> closing_{false};
  // Listener; read by stop() after the join.
  SteadyTime closingStarted_{};
  SteadyTime closeBy_{};
  // The requests accepted before the closing began have ids below this.
  long closingFirstId_ = 0;
  // When a worker last sent an answer that its client follows up without a
  // position of its own.
  std::atomic<SteadyTime> lastFollowedAnswer_{SteadyTime{}};
  // Where the answers of the followed endpoints left their clients.
  FollowerLog followers_;
  // The bytes of the answers on their way, held until each has gone.
  AnswerMemory answerMemory_;
  // Set by a stop once the closing has ended.
  std::atomic<bool> answersDropped_{false};
  // Under connectionsMutex: workers may hand connections back to the
  // listener. Cleared when the listener ends.
  bool listening_ = true;
  // Written by a worker that becomes idle while requests are queued, so that
  // the listener hands one over at once instead of after its idle pass; -1
  // when none could be made.
  int wakeFd_ = -1;
  std::atomic<bool> requestsQueued_{false};
  // Listener only.
  std::deque<long> queued_;  // complete requests no worker was free for
  std::vector<pollfd> pollEntries_;
  // The record of each poll entry (null for the listening socket) and its
  // state at the poll; held, so that shedding cannot free one in the pass.
  std::vector<std::pair<std::shared_ptr<RequestHandlerInfo>, int>> polled_;
  std::chrono::steady_clock::time_point lastWarning_{};

  // Listener: the loop's steps (accept_loop.cpp).
  // Polls the listening socket (when a connection may be taken) and the
  // connections the listener holds; true when a peer is waiting to be
  // accepted.
  bool pollConnections(std::chrono::milliseconds wait);
  // Accepts the peers waiting, a few at most; true when the listening socket
  // is dead.
  bool acceptPending(long& reqid);
  void admitConnection(long reqid, int socket, const sockaddr* peer, socklen_t peerLength);
  // Hands queued requests to idle workers, oldest first.
  void handOverQueued();
  // False when no worker is free.
  bool handOver(RequestHandlerInfo& connection);
  bool tableFull();
  // Frees a place in the table; false when no connection may be shed.
  bool shedOne();
  // The closing: from now on every endpoint answers without waiting.
  // nextId: the id the next accepted connection gets.
  void beginClosing(long nextId);
  // True once the closing is over: its grace has passed, or the requests
  // that had arrived whole before it are answered and (at a stop) no
  // follower has records left to fetch.
  bool closingOver();
  // Answers or closes every connection the listener holds; workers can no
  // longer hand connections back.
  void endListening();
  // Ends one connection the listener holds at once: a lingering one is
  // closed, a parked endpoint answers, a request still arriving gets 408,
  // an answer being sent is given up (logged with why).
  void answerHeld(RequestHandlerInfo& connection, const char* why);

  // Listener: the connections it holds (connection_intake.cpp).
  void serveEvents();
  // Reads what arrived and moves the request on.
  void readRequest(RequestHandlerInfo& connection);
  // After the header block: parse, check, route; how much body to read.
  void headRead(RequestHandlerInfo& connection);
  // The request is complete: into the queue for a worker.
  void requestRead(RequestHandlerInfo& connection);
  // The peer ended its stream before its request did.
  void peerEnded(RequestHandlerInfo& connection);
  // Answers a refusal (or a parked endpoint at the end) itself, with one
  // send that does not wait, then lingers or closes.
  // A parse failure without a status is a 501.
  void answerNow(RequestHandlerInfo& connection, ResponseInfo response, int parseResult,
                 int dispatchResult, bool mayLinger = true);
  // A parked connection's endpoint, stopped, answers at once.
  void answerParkedNow(RequestHandlerInfo& connection);
  void startLingering(RequestHandlerInfo& connection);
  void drainLingering(RequestHandlerInfo& connection);
  void closeByListener(RequestHandlerInfo& connection);
  // Sends what the peer of a Writing connection takes now.
  void sendMore(RequestHandlerInfo& connection);
  // A Writing connection's answer has gone whole, or failed: the follower
  // noted, then the linger or the close.
  void answerEnded(RequestHandlerInfo& connection);
  // Gives up the answer of a Writing connection.
  void giveUpAnswer(RequestHandlerInfo& connection, const char* why);
  // Deadlines of the requests being read, of the answers being sent and of
  // lingering connections; parked connections whose event or time has
  // come go back to the queue.
  void checkDeadlines();

  // Worker (http_server.cpp).
  int processRequest(RequestHandlerInfo& connection, bool& handedBack);
  // Gives the connection back to the listener in `state`; false when the
  // listener has ended.
  bool handBack(RequestHandlerInfo& connection, int state);
  // Composes the answer into connection.answer (or a 503 when the cap on
  // answers' bytes cannot hold it) and sends what the socket takes at once;
  // true when the rest went to the listener (handedBack). Otherwise, unless
  // it has all gone or failed, sends the rest under the answer's budget
  // itself: on a thread of its own per connection, or when the listener has
  // ended at a quit.
  bool writeResponse(RequestHandlerInfo& connection, ResponseInfo& response, int dispatchResult);
  // Counts the answer's bytes against `cap`; false when it cannot hold them.
  bool countAnswer(AnswerInFlight& answer, std::size_t cap);
  void uncountAnswer(AnswerInFlight& answer);
  // The log line of an answer that has gone whole, or failed.
  static void logSendOutcome(const RequestHandlerInfo& connection);
  // The answer has gone whole (or failed): notes where it left a follower
  // of the history, or that a follower left.
  void noteFollower(const RequestHandlerInfo& connection);

  // Stop (server_stop.cpp).
  void closeUnserved();
  // Every open socket: shutdown(how), after a stop request on its record.
  void shutdownConnections(int how);
  // Waits until no worker or connection thread is making an answer, or
  // until deadline; answers being sent are not waited for.
  void waitUntilServed(std::chrono::steady_clock::time_point deadline);
  void joinConnectionThreads();
  void closeListenSocket() noexcept;
};
