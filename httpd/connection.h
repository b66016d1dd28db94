#pragma once
// The record of one accepted connection in the server's connection table.
//
// The listener creates the record and publishes it in the table; the worker
// serving the connection looks it up once and holds it by shared_ptr, so the
// listener may remove finished records while others are being served. After
// publication only `state` (written by the worker) and `flags` (written by
// the listener) change, both atomically; the listener also keeps the
// worker's future or the connection's own thread here, which the worker
// never touches. `socketOpen` is read and written only under the server's
// table lock: whoever closes the socket clears it there, so nobody shuts
// down or polls a descriptor number that may already belong to something
// else.

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

// Connection states.
namespace ConnState {
inline constexpr int Accepted = 0;
inline constexpr int HeaderParsed = 2;
inline constexpr int RequestRead = 3;
inline constexpr int Sending = 4;
inline constexpr int Sent = 5;
inline constexpr int Closed = 7;
}  // namespace ConnState

// Bits of RequestHandlerInfo::flags.
namespace ConnFlag {
inline constexpr int PeerClosed = 0x1;
inline constexpr int SocketError = 0x2;
}  // namespace ConnFlag

struct RequestHandlerInfo {
  long reqid = 0;
  int socket = -1;
  bool socketOpen = true;  // under the table lock
  std::atomic<int> state{ConnState::Accepted};
  std::atomic<int> flags{0};
  std::unique_ptr<std::jthread> thread;  // only when connections get threads of their own
  std::string host;
  std::string port;
  std::stop_source stop;    // its token reaches the endpoints
  std::future<int> result;  // of the pool worker serving it

  // Closes the socket unless that was done; under the table lock. The errno
  // of a failed close, else 0.
  int closeLocked() noexcept {
    if (!socketOpen) return 0;
    socketOpen = false;
    return ::close(socket) == 0 ? 0 : errno;
  }
};
