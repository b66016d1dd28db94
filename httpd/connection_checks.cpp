// The listener's housekeeping: finished connections leave the table, peers
// that went away are marked (which stops their waiting endpoints, so a long
// poll of a closed browser tab ends), and the notify callback runs.
//
// The sockets are polled with a time-out of 0 under the table lock, so no
// worker closes one in the meantime and no descriptor number that has been
// given to something else is polled. A record gets one log line for each
// new kind of event: a socket that stays readable or closed is not reported
// again on every pass.

#include <poll.h>
#include <cerrno>
#include <chrono>
#include <future>

#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_line.h"
#include "httpd/peer_log.h"

namespace {

constexpr short kWatched = POLLIN | POLLERR | POLLHUP | POLLRDHUP;

// Marks the record for the events and stops it when its peer is gone.
void markEvents(RequestHandlerInfo& connection, short events) {
  int seen = 0;
  if (events & (POLLERR | POLLNVAL)) seen |= ConnFlag::PeerClosed | ConnFlag::SocketError;
  if (events & (POLLHUP | POLLRDHUP)) seen |= ConnFlag::PeerClosed;
  const int before = connection.flags.fetch_or(seen);
  if ((before | seen) == before) return;
  connection.stop.request_stop();
  PeerLog line(connection.host, connection.port);
  line << "IO event:";
  if (events & POLLNVAL) line << " is closed!";
  if (events & POLLIN) line << " still ready to read!";
  if (events & POLLERR) line << " error on remote connection!";
  if (events & (POLLHUP | POLLRDHUP)) line << " remote closed connection!";
  line << "\n";
}

// True when nobody serves the connection any more. A worker that returned
// without closing its socket (it failed on the way) leaves it to us.
bool finished(RequestHandlerInfo& connection) {
  if (connection.state == ConnState::Closed) return true;
  if (!connection.result.valid() ||
      connection.result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    return false;
  connection.closeLocked();
  connection.state = ConnState::Closed;
  return true;
}

}  // namespace

void HTTPServer::reapConnections() {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  for (auto it = connections.begin(); it != connections.end();) {
    RequestHandlerInfo& connection = *it->second;
    if (!finished(connection)) {
      ++it;
      continue;
    }
    // Past state 7 the thread only returns.
    if (connection.thread && connection.thread->joinable()) connection.thread->join();
    PeerLog(connection.host, connection.port)
        << "Request " << connection.reqid << " on " << connection.socket << " completed\n";
    it = connections.erase(it);
  }
}

void HTTPServer::checkConnections() {
  reapConnections();
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    pollEntries_.clear();
    polled_.clear();
    for (auto& entry : connections) {
      if (!entry.second->socketOpen) continue;
      pollEntries_.push_back(pollfd{entry.second->socket, kWatched, 0});
      polled_.push_back(entry.second.get());
    }
    if (!pollEntries_.empty()) {
      const int n = ::poll(pollEntries_.data(), pollEntries_.size(), 0);
      if (n < 0 && errno != EINTR) {
        const int err = errno;
        LogLine("") << "Poll error: " << errorText(err) << " (errc=" << err << ")\n";
      }
      for (std::size_t i = 0; n > 0 && i < pollEntries_.size(); ++i)
        if (pollEntries_[i].revents) markEvents(*polled_[i], pollEntries_[i].revents);
    }
  }
  if (notify) (*notify)(static_cast<int>(tick));
  ++tick;
}
