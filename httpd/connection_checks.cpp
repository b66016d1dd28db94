// The end of every listener pass: finished connections leave the table, and
// the notify callback runs (it wakes the history's parked polls).

#include <chrono>
#include <future>

#include "httpd/http_server.h"
#include "httpd/log_line.h"
#include "httpd/peer_log.h"

namespace {

// True when nobody serves the connection any more. A worker that returned
// without closing its socket (it failed on the way) leaves it to us; one
// that handed the connection back has left it in a state of the listener's.
bool finished(RequestHandlerInfo& connection) {
  const int state = connection.state;
  if (state == ConnState::Closed) return true;
  const bool workerState =
      state == ConnState::RequestRead || state == ConnState::Sending || state == ConnState::Sent;
  if (!workerState || !connection.result.valid() ||
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
  if (notify) (*notify)(static_cast<int>(tick));
  ++tick;
}
