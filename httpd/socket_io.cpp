#include "httpd/socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

int pollSlice(int fd, short events, SteadyTime deadline, std::chrono::milliseconds slice) {
  using namespace std::chrono;
  const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
  // Round a positive remainder of less than a millisecond up, so the last
  // wait still waits.
  const long long wait = std::clamp<long long>(left.count() + 1, 0, slice.count());
  pollfd entry{fd, events, 0};
  const int n = ::poll(&entry, 1, static_cast<int>(wait));
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n == 0 ? 0 : entry.revents;
}

// The unsent rest of one piece as an iovec entry; false when it is all sent.
static bool restOf(std::string_view piece, std::size_t sent, iovec& entry) {
  if (sent >= piece.size()) return false;
  entry.iov_base = const_cast<char*>(piece.data() + sent);
  entry.iov_len = piece.size() - sent;
  return true;
}

SendResult sendAll(int fd, std::string_view head, std::string_view body, const SendLimits& limits,
                   SendResult soFar) {
  SendResult result = soFar;
  result.error = 0;
  if (result.progress == SteadyTime{}) result.progress = std::chrono::steady_clock::now();
  const std::size_t total = head.size() + body.size();
  while (result.sent < total) {
    iovec parts[2];
    msghdr message{};
    message.msg_iov = parts;
    if (restOf(head, result.sent, parts[message.msg_iovlen])) ++message.msg_iovlen;
    const std::size_t bodySent = result.sent > head.size() ? result.sent - head.size() : 0;
    if (restOf(body, bodySent, parts[message.msg_iovlen])) ++message.msg_iovlen;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    const int err = n < 0 ? errno : 0;
    const SteadyTime now = std::chrono::steady_clock::now();
    if (n > 0) {
      result.sent += static_cast<std::size_t>(n);
      result.progress = now;
      if (now < limits.deadline || result.sent == total) continue;
    } else if (err == EINTR) {
      continue;
    } else if (err != 0 && err != EAGAIN && err != EWOULDBLOCK) {
      result.error = err;
      return result;
    }
    const SteadyTime deadline = std::min(result.progress + limits.stall, limits.deadline);
    if (now >= deadline) {
      result.error = ETIMEDOUT;
      return result;
    }
    // Errors and hang-ups show in the next send.
    if (pollSlice(fd, POLLOUT, deadline, limits.slice) < 0) {
      result.error = errno;
      return result;
    }
  }
  return result;
}
