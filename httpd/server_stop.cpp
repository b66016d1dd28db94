// Stopping the server without freeing anything still in use.
//
// In order: the listener is stopped and joined. It first serves on for the
// grace at most (its closing: endpoints no longer wait, so a history poll
// answers the records after its position, or 408 with none), then answers
// every connection it still holds (408 for the requests still arriving and
// the queued ones, a parked endpoint's own answer for the parked ones; the
// answers it still sends are given up), so nothing accepts, queues or reaps
// any more. From then on whatever is sent would be thrown away, so no
// endpoint runs any more. Every connection a worker holds is stopped (a form
// parse gives up) and its socket shut down for reading; an endpoint already
// running may finish its answer until the grace is over, but answers being
// sent are not waited for: the sockets are shut down altogether, so no send
// can stall; the workers and connection threads are joined; the sockets
// nobody served are closed, the delayed quit is cancelled, and only then is
// the listening socket closed. Each step runs even when an earlier one
// failed.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_line.h"

namespace {

template <class F>
void inAnyCase(F&& step) noexcept {
  try {
    step();
  } catch (...) {
    try {
      LogLine("") << "Error: stopping the server: " << currentExceptionText();
    } catch (...) {
    }
  }
}

}  // namespace

void HTTPServer::beginWait() {
  std::lock_guard<std::mutex> lock(mutex);
  ++waiters;
}

void HTTPServer::waitForListener() {
  std::unique_lock<std::mutex> lock(mutex);
  listenerEnded.wait(lock, [this] { return listenerDone || !listenerStarted; });
  --waiters;
  listenerEnded.notify_all();
}

void HTTPServer::stop() noexcept {
  if (stopped_) return;
  stopped_ = true;
  const SteadyTime asked = std::chrono::steady_clock::now();
  SteadyTime graceEnd = asked + waits.stopGrace;
  inAnyCase([this] {
    quit = 1;
    listenerStop.request_stop();
    if (listener.joinable()) listener.join();
    {
      std::lock_guard<std::mutex> lock(connectionsMutex);
      listening_ = false;  // also when the listener never ran
    }
    std::unique_lock<std::mutex> lock(mutex);
    listenerEnded.wait(lock, [this] { return waiters == 0; });
  });
  answersDropped_ = true;
  // The grace began with the closing, when this stop began it (a quit may
  // have closed the listener long before).
  if (closing_ && closingStarted_ >= asked) graceEnd = closeBy_;
  inAnyCase([this] { shutdownConnections(SHUT_RD); });
  inAnyCase([this, graceEnd] { waitUntilServed(graceEnd); });
  inAnyCase([this] { shutdownConnections(SHUT_RDWR); });
  inAnyCase([this] { pool.shutdown(); });
  inAnyCase([this] { joinConnectionThreads(); });
  inAnyCase([this] { closeUnserved(); });
  delayedQuit.cancel();
  closeListenSocket();
}

void HTTPServer::closeUnserved() {
  queued_.clear();
  std::lock_guard<std::mutex> lock(connectionsMutex);
  for (auto& entry : connections) {
    RequestHandlerInfo& connection = *entry.second;
    connection.closeLocked();
    connection.state = ConnState::Closed;
  }
}

void HTTPServer::shutdownConnections(int how) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  for (auto& entry : connections) {
    RequestHandlerInfo& connection = *entry.second;
    connection.stop.request_stop();
    if (connection.socketOpen) ::shutdown(connection.socket, how);
  }
}

void HTTPServer::waitUntilServed(std::chrono::steady_clock::time_point deadline) {
  // With the listener gone, a complete request is one a worker or a thread
  // of its own is making the answer of.
  const auto making = [this] {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (const auto& entry : connections)
      if (entry.second->state == ConnState::RequestRead) return true;
    return false;
  };
  while (making() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(waits.idlePass);
}

void HTTPServer::joinConnectionThreads() {
  std::vector<std::unique_ptr<std::jthread>> threads;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (auto& entry : connections)
      if (entry.second->thread) threads.push_back(std::move(entry.second->thread));
  }
  // Outside the lock: a thread still closes its socket under it.
  for (auto& thread : threads)
    if (thread->joinable()) thread->join();
}

void HTTPServer::closeListenSocket() noexcept {
  if (listenSocket < 0) return;
  try {
    LogLine("") << "Closing listen socket\n";
  } catch (...) {
  }
  if (::close(listenSocket) != 0) std::perror("close listen socket");
  listenSocket = -1;
}
