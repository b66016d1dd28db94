// The listener thread: accepts connections and hands them to workers.
//
// Each pass first hands queued connections to workers that became idle, then
// accepts one connection (unless the table is full), and ends with a
// housekeeping pass (connection_checks.cpp), which also calls the notify
// callback. It never waits for a worker: a connection that finds none idle
// is queued and served in arrival order. While the table is full nothing is
// accepted (new peers wait in the kernel's backlog) and a warning is logged
// now and then; the passes go on. accept errors that concern one peer are
// retried at once, a lack of descriptors or memory is waited out, and only
// a dead listening socket ends the loop.

#include <fenv.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_line.h"
#include "httpd/peer_log.h"
#include "httpd/stoppable_sleep.h"
#include "httpd/traps_off.h"

namespace {

using Clock = std::chrono::steady_clock;

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

// Waits up to d for a peer on the listening socket.
void waitForPeer(int listenSocket, std::chrono::milliseconds d) {
  pollfd entry{listenSocket, POLLIN, 0};
  ::poll(&entry, 1, static_cast<int>(d.count()));
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
  Clock::time_point lastWarning{};
  bool socketDead = false;
  while (!socketDead && quit == 0 && !stop.stop_requested()) {
    try {
      handOverWaiting();
      if (tableFull()) reapConnections();
      if (tableFull()) {
        if (const auto now = Clock::now(); now - lastWarning >= waits.fullTableWarning) {
          LogLine("") << "WARNING: max connection processing capacity reached: " << maxConnections;
          lastWarning = now;
        }
        sleepUnlessStopped(stop, waits.idlePass);
      } else {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const int fd =
            ::accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
        if (fd >= 0) {
          checkConnections();
          admitConnection(reqid++, fd, reinterpret_cast<sockaddr*>(&peer), peerLength);
          continue;
        }
        const int err = errno;
        const AcceptFailure failure = classify(err);
        if (failure != AcceptFailure::NothingPending)
          LogLine("") << "ERROR: accept: " << errorText(err) << " (" << -1 << ") (errc=" << err
                      << ")\n";
        switch (failure) {
          case AcceptFailure::NothingPending:
            waitForPeer(listenSocket, waits.idlePass);
            break;
          case AcceptFailure::PeerGone:
            break;
          case AcceptFailure::OutOfResources:
            sleepUnlessStopped(stop, waits.acceptBackoff);
            break;
          case AcceptFailure::DeadSocket:
            socketDead = true;
            continue;
        }
      }
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
  // Nobody will hand the queued connections to a worker now: their peers
  // get an end of stream rather than a wait without end.
  for (const long queued : waiting)
    if (const std::shared_ptr<RequestHandlerInfo> record = findConnection(queued))
      dropConnection(*record);
  waiting.clear();
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (auto& entry : connections) entry.second->stop.request_stop();
  }
  LogLine("") << "Server thread exited";
  return 0;
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
  if (waiting.empty() && handOver(*record)) return;
  try {
    waiting.push_back(reqid);
  } catch (...) {
    dropConnection(*record);
    throw;
  }
}

void HTTPServer::handOverWaiting() {
  while (!waiting.empty()) {
    const std::shared_ptr<RequestHandlerInfo> record = findConnection(waiting.front());
    if (record && !handOver(*record)) return;
    waiting.pop_front();
  }
}

bool HTTPServer::handOver(RequestHandlerInfo& connection) {
  try {
    if (poolSize < 1) {
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
    dropConnection(connection);
    LogLine("") << "Error: could not serve request " << connection.reqid << ": "
                << currentExceptionText();
    return true;
  }
}

void HTTPServer::dropConnection(RequestHandlerInfo& connection) {
  closeSocket(connection);
  connection.state = ConnState::Closed;
}

bool HTTPServer::tableFull() {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  return connections.size() >= static_cast<std::size_t>(std::max(maxConnections, 1));
}
