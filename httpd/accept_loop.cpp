// The listener thread: accepts connections, serves the ones it holds, and
// hands complete requests to workers.
//
// Each pass waits (at most one idle pass) in one poll for a new peer and for
// the connections it holds; accepts a few waiting peers, making room by
// shedding when the table is full; reads what arrived and sends more of the
// answers whose peers have read some; answers deadlines and wakes parked
// requests; hands queued requests to idle workers; and ends with a
// housekeeping pass (connection_checks.cpp), which also calls the notify
// callback. It never waits for a worker. accept errors that concern one
// peer are retried at once, a lack of descriptors or memory is waited out,
// and only a dead listening socket ends the loop at once. A quit or a stop
// ends it after the closing: every connection is stopped, so nothing waits
// any more, and the passes go on until what was under way when it began is
// done and (at a stop) no follower of the history has records left to
// fetch, or until the stop's grace is over.

#include <fenv.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_line.h"
#include "httpd/peer_log.h"
#include "httpd/stoppable_sleep.h"
#include "httpd/traps_off.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAcceptsPerPass = 16;  // then the connections held get their turn

enum class AcceptFailure {
  NothingPending,  // EAGAIN: wait for the next peer
  PeerGone,        // the peer's connection failed before accept: go on
  OutOfResources,  // no descriptor or memory now: pause, then try again
  DeadSocket,      // the listening socket is unusable: end the loop
};

AcceptFailure classify(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return AcceptFailure::NothingPending;
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT:
      return AcceptFailure::PeerGone;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptFailure::OutOfResources;
    default:
      return AcceptFailure::DeadSocket;
  }
}

// True when a peer waits to be accepted on the listening socket.
bool peerWaiting(int listenSocket) {
  pollfd entry{listenSocket, POLLIN, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN);
}

// What the listener watches on a connection it holds.
short watchedEvents(int state) {
  switch (state) {
    case ConnState::Accepted:
    case ConnState::HeaderParsed:
    case ConnState::Lingering:
      return POLLIN | POLLRDHUP;
    case ConnState::Waiting:
      return POLLRDHUP;  // hang-ups and errors are always reported
    case ConnState::Writing:
      return POLLOUT;
    default:
      return 0;
  }
}

// The order in which connections are shed: the least worth keeping first.
int shedRank(const RequestHandlerInfo& connection, int state, const ConnectionIOSettings& io,
             SteadyTime now) {
  switch (state) {
    case ConnState::Lingering:
      return 0;
    case ConnState::Accepted:
    case ConnState::HeaderParsed:
      return 1;
    case ConnState::Waiting:
      return 2;
    case ConnState::Writing: {
      const AnswerInFlight& answer = connection.answer;
      return !answer.caughtUp && io.belowRate(answer.start, answer.taken, now) ? 3 : -1;
    }
    default:
      return -1;  // complete requests, those a worker holds, answers read in time
  }
}

// Held by the listener: answered or closed by it when it ends.
bool listenerHolds(int state) {
  switch (state) {
    case ConnState::Accepted:
    case ConnState::HeaderParsed:
    case ConnState::Waiting:
    case ConnState::Writing:
    case ConnState::Lingering:
      return true;
    default:
      return false;
  }
}

}  // namespace

void HTTPServer::startListener() {
  TrapsOff traps;
  std::lock_guard<std::mutex> lock(mutex);
  listener = std::jthread([this, stop = listenerStop.get_token()] { s_accept_loop(stop, this); });
  listenerStarted = true;
  if (const int rc = pthread_setname_np(listener.native_handle(), "KVARN HTTPD"))
    std::fprintf(stderr, "Error: setname: %s\n", errorText(rc).c_str());
}

int HTTPServer::s_accept_loop(std::stop_token stop, void* server) {
  auto* self = static_cast<HTTPServer*>(server);
  int result = 0;
  try {
    result = self->acceptLoop(std::move(stop));
  } catch (...) {
    try {
      LogLine("") << "Error: listener failed: " << currentExceptionText();
    } catch (...) {
    }
  }
  try {
    self->endListening();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(self->mutex);
    self->listenerDone = true;
  }
  self->listenerEnded.notify_all();
  return result;
}

int HTTPServer::acceptLoop(std::stop_token stop) {
  LogLine("") << "Server thread started and ready to go";
  {
    std::lock_guard<std::mutex> lock(mutex);
    LogLine("") << "Server thread accepting connections";
  }
  long reqid = 1;
  bool socketDead = false;
  while (!socketDead) {
    try {
      if (!closing_ && (quit != 0 || stop.stop_requested())) beginClosing(reqid);
      if (closing_ && closingOver()) break;
      handOverQueued();
      if (pollConnections(waits.idlePass)) socketDead = acceptPending(reqid);
      serveEvents();
      checkDeadlines();
      handOverQueued();
      checkConnections();
    } catch (...) {
      // A failed pass (no memory for a record, say) is not the end: the next
      // one tries again.
      try {
        LogLine("") << "Error: listener pass failed: " << currentExceptionText();
      } catch (...) {
      }
      sleepUnlessStopped(stop, waits.idlePass);
    }
  }
  LogLine("") << "Server thread exited";
  return 0;
}

bool HTTPServer::pollConnections(std::chrono::milliseconds wait) {
  pollEntries_.clear();
  polled_.clear();
  bool room = true;
  {
    const SteadyTime now = Clock::now();
    std::lock_guard<std::mutex> lock(connectionsMutex);
    room = connections.size() < static_cast<std::size_t>(std::max(maxConnections, 1));
    for (auto& entry : connections) {
      RequestHandlerInfo& connection = *entry.second;
      const int state = connection.state;
      const short events = watchedEvents(state);
      if (events == 0 || !connection.socketOpen) continue;
      room = room || shedRank(connection, state, io, now) >= 0;
      pollEntries_.push_back(pollfd{connection.socket, events, 0});
      polled_.emplace_back(entry.second, state);
    }
  }
  if (wakeFd_ >= 0) {
    pollEntries_.push_back(pollfd{wakeFd_, POLLIN, 0});
    polled_.emplace_back(nullptr, 0);
  }
  if (room) {
    pollEntries_.push_back(pollfd{listenSocket, POLLIN, 0});
    polled_.emplace_back(nullptr, 0);
  } else if (const auto now = Clock::now(); now - lastWarning_ >= waits.fullTableWarning) {
    LogLine("") << "WARNING: max connection processing capacity reached: " << maxConnections;
    lastWarning_ = now;
  }
  // A queued request does not wait for a pass when a worker is free for it.
  const bool workerFree = poolSize < 1 || pool.anyIdle();
  const int timeout = !queued_.empty() && workerFree ? 0 : static_cast<int>(wait.count());
  if (::poll(pollEntries_.data(), pollEntries_.size(), timeout) < 0) {
    const int err = errno;
    if (err != EINTR) LogLine("") << "Poll error: " << errorText(err) << " (errc=" << err << ")\n";
    for (pollfd& entry : pollEntries_) entry.revents = 0;
  }
  std::uint64_t wakes = 0;
  if (wakeFd_ >= 0 && ::read(wakeFd_, &wakes, sizeof wakes) < 0) {
    // Nothing to take: no worker woke us.
  }
  return room && (pollEntries_.back().revents & POLLIN);
}

bool HTTPServer::acceptPending(long& reqid) {
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    // Room is made only for a peer that is there (the pass's poll saw the
    // first one).
    if (tableFull() && ((i > 0 && !peerWaiting(listenSocket)) || !shedOne())) return false;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      admitConnection(reqid++, fd, reinterpret_cast<sockaddr*>(&peer), peerLength);
      continue;
    }
    const int err = errno;
    const AcceptFailure failure = classify(err);
    if (failure == AcceptFailure::NothingPending) return false;
    LogLine("") << "ERROR: accept: " << errorText(err) << " (" << -1 << ") (errc=" << err << ")\n";
    if (failure == AcceptFailure::DeadSocket) return true;
    if (failure == AcceptFailure::OutOfResources) {
      sleepUnlessStopped(listenerStop.get_token(), waits.acceptBackoff);
      return false;
    }
  }
  return false;
}

void HTTPServer::admitConnection(long reqid, int socket, const sockaddr* peer,
                                 socklen_t peerLength) {
  char host[1025] = "";
  char service[32] = "";
  // Numeric: a reverse lookup could hold the listener for seconds.
  if (const int rc = ::getnameinfo(peer, peerLength, host, sizeof host, service, sizeof service,
                                   NI_NUMERICHOST | NI_NUMERICSERV)) {
    LogLine("") << "ERROR: getnameinfo: " << ::gai_strerror(rc);
    host[0] = service[0] = '\0';
  }
  std::shared_ptr<RequestHandlerInfo> record;
  try {
    record = addConnection(reqid, socket, host, service);
  } catch (...) {
    ::close(socket);
    throw;
  }
  PeerLog(host, service) << "Accept connection on " << socket << ", request " << reqid;
  // Little of an answer waits unsent in the kernel (io_settings.h): failing
  // that, the answer only goes on in larger steps.
  ::setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &io.unsentLow, sizeof io.unsentLow);
  if (closing_) record->stop.request_stop();
  // What a client sends right after connecting is usually there already.
  readRequest(*record);
}

bool HTTPServer::shedOne() {
  std::shared_ptr<RequestHandlerInfo> victim;
  {
    const SteadyTime now = Clock::now();
    std::lock_guard<std::mutex> lock(connectionsMutex);
    int best = 4;
    for (auto& entry : connections) {  // by request id: the oldest first
      const int rank = shedRank(*entry.second, entry.second->state, io, now);
      if (rank >= 0 && rank < best && entry.second->socketOpen) {
        best = rank;
        victim = entry.second;
      }
    }
  }
  if (!victim) return false;
  PeerLog(victim->host, victim->port) << "Shed request " << victim->reqid << ": the table is full";
  answerHeld(*victim, "the table is full");
  reapConnections();
  return true;
}

void HTTPServer::handOverQueued() {
  while (!queued_.empty()) {
    const std::shared_ptr<RequestHandlerInfo> record = findConnection(queued_.front());
    if (record && !handOver(*record)) break;
    queued_.pop_front();
  }
  requestsQueued_ = !queued_.empty();
}

bool HTTPServer::handOver(RequestHandlerInfo& connection) {
  try {
    if (poolSize < 1) {
      // A thread that served this connection before has handed it back and
      // returns.
      if (connection.thread && connection.thread->joinable()) connection.thread->join();
      // Created by the listener, which runs with traps off; the thread makes
      // sure of it itself as well.
      connection.thread = std::make_unique<std::jthread>([this, id = connection.reqid] {
        fedisableexcept(FE_ALL_EXCEPT);
        s_handleRequest(this, id);
      });
      return true;
    }
    std::optional<std::future<int>> result =
        pool.tryStart(&HTTPServer::s_handleRequest, static_cast<void*>(this), connection.reqid);
    if (!result) return false;
    connection.result = std::move(*result);
    return true;
  } catch (...) {
    // No thread or no memory for the item: the peer is let go, the server
    // goes on.
    closeByListener(connection);
    LogLine("") << "Error: could not serve request " << connection.reqid << ": "
                << currentExceptionText();
    return true;
  }
}

bool HTTPServer::tableFull() {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  return connections.size() >= static_cast<std::size_t>(std::max(maxConnections, 1));
}

void HTTPServer::beginClosing(long nextId) {
  closingStarted_ = Clock::now();
  closeBy_ = closingStarted_ + waits.stopGrace;
  closingFirstId_ = nextId;
  closing_ = true;
  LogLine("") << "Server closing: serving what is under way";
  std::lock_guard<std::mutex> lock(connectionsMutex);
  for (auto& entry : connections) entry.second->stop.request_stop();
}

// Under way: a request that had arrived whole, and has not been answered
// yet. One still arriving may never end (a peer can hold half a request for
// as long as it likes), and an idle connection (a browser opens some ahead
// of need) holds nothing up either; nor does an answer whose rest the
// listener sends: its reader may take minutes, or never read at all.
static bool underWay(const RequestHandlerInfo& connection) {
  switch (connection.state) {
    case ConnState::RequestRead:
    case ConnState::Sending:
    case ConnState::Sent:
    case ConnState::Waiting:
      return true;
    default:
      return false;
  }
}

// Only what was under way when the closing began holds it up: a client that
// asks again and again while the server closes (the 408 it gets tells it
// nothing is new) would otherwise keep it open. A follower that has records
// left to fetch holds it up through the follower log, until it has had them.
// What is under way is looked at before the followers: a worker notes the
// follower it answered before its connection stops being under way, and
// one whose answer's rest the listener sends is noted once that has gone
// (until then, where its last answer left it still counts).
bool HTTPServer::closingOver() {
  const SteadyTime now = Clock::now();
  if (now >= closeBy_) return true;
  for (const long id : queued_)
    if (id < closingFirstId_) return false;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (auto entry = connections.begin();
         entry != connections.end() && entry->first < closingFirstId_; ++entry)
      if (underWay(*entry->second)) return false;
  }
  // A quit leaves the run going: there is no last record to wait for.
  if (!listenerStop.stop_requested()) return true;
  if (now - lastFollowedAnswer_.load() < waits.followUpWindow) return false;
  // A follower answered during the grace before the stop may still be on
  // its way back.
  return !followers_.anyBehind(closingStarted_ - waits.stopGrace, followedEnd);
}

void HTTPServer::endListening() {
  std::vector<std::shared_ptr<RequestHandlerInfo>> held;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    listening_ = false;
    for (auto& entry : connections) {
      if (listenerHolds(entry.second->state)) held.push_back(entry.second);
      entry.second->stop.request_stop();  // ends the waits of endpoints
    }
  }
  // Queued requests, and those still arriving, will never get a worker.
  for (const long id : queued_)
    if (const std::shared_ptr<RequestHandlerInfo> record = findConnection(id))
      held.push_back(record);
  queued_.clear();
  for (const std::shared_ptr<RequestHandlerInfo>& record : held)
    answerHeld(*record, "the server stops");
}

void HTTPServer::answerHeld(RequestHandlerInfo& connection, const char* why) {
  const int state = connection.state;
  if (state == ConnState::Lingering) {
    closeByListener(connection);
  } else if (state == ConnState::Writing) {
    giveUpAnswer(connection, why);
  } else if (state == ConnState::Waiting || connection.request.waitedUntil) {
    // A queued request whose endpoint waited before answers as a parked one.
    answerParkedNow(connection);
  } else {
    ResponseInfo response;
    failTimedOut(response);
    answerNow(connection, response, -1, -1, false);
  }
}
