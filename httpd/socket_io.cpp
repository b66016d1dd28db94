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

SendResult sendAll(int fd, std::span<const std::string_view> pieces, const SendLimits& limits,
                   SendResult soFar) {
  SendResult result = soFar;
  result.error = 0;
  if (result.progress == SteadyTime{}) result.progress = std::chrono::steady_clock::now();
  std::size_t total = 0;
  for (const std::string_view piece : pieces) total += piece.size();
  constexpr std::size_t kMaxPieces = 8;
  while (result.sent < total) {
    // The unsent rest of each piece.
    iovec parts[kMaxPieces];
    msghdr message{};
    message.msg_iov = parts;
    std::size_t before = 0;
    for (const std::string_view piece : pieces) {
      const std::size_t skip = result.sent > before ? result.sent - before : 0;
      before += piece.size();
      if (skip >= piece.size() || message.msg_iovlen == kMaxPieces) continue;
      parts[message.msg_iovlen].iov_base = const_cast<char*>(piece.data() + skip);
      parts[message.msg_iovlen++].iov_len = piece.size() - skip;
    }
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
