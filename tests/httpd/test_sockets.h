#pragma once
// Client ends of connections for the monitor tests: TCP connections over
// 127.0.0.1. Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// An owned file descriptor, closed when it goes.
struct Fd {
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {  // the old one closes with other
    return std::swap(fd_, other.fd_), *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

inline sockaddr_in inetAddress(in_addr_t address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// A TCP connection to 127.0.0.1:port (blocking), or an empty Fd.
inline Fd connectLoopback(int port) {
  Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in addr = inetAddress(INADDR_LOOPBACK, port);
  if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    return Fd();
  return client;
}

// The same with a receive buffer of a few KiB from the start: the peer can
// send it little before it reads, so a large answer must wait for the reads.
inline Fd connectSmallWindow(int port) {
  Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int small = 4096;
  ::setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const sockaddr_in addr = inetAddress(INADDR_LOOPBACK, port);
  if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    return Fd();
  return client;
}

// A listening socket on the IPv4 address and port (0: the kernel picks one),
// or an empty Fd when the port is taken. SO_REUSEADDR: connections of an
// earlier server in TIME_WAIT do not count.
inline Fd listenOn(in_addr_t address, int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in addr = inetAddress(address, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 1) != 0)
    return Fd();
  return fd;
}

// The port a socket is bound to, or 0.
inline int boundPortOf(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? ntohs(addr.sin_port)
                                                                          : 0;
}

inline bool sendText(int fd, std::string_view text) {
  for (ssize_t n = 0; !text.empty(); text.remove_prefix(static_cast<std::size_t>(n)))
    if ((n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

// Everything the peer sends until it ends its stream, fails, or `bound`
// passes. *endError receives 0 after a clean end of stream and the errno of
// a failure (ECONNRESET for a reset), else -1.
inline std::string readUntilClosed(int fd,
                                   std::chrono::milliseconds bound = std::chrono::seconds(5),
                                   int* endError = nullptr) {
  int end = -1;
  std::string out;
  char buf[65536];
  for (const auto deadline = std::chrono::steady_clock::now() + bound;
       end < 0 && std::chrono::steady_clock::now() < deadline;) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0)
      out.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      end = n == 0 ? 0 : errno;
  }
  if (endError) *endError = end;
  return out;
}

// What each peer sends until it ends its stream (or fails), read side by
// side, so that one reader holding back stalls none of the others, for
// `bound` at most. With a rate, each reads at most that many bytes a second
// and 64 KiB at a time, as a slow link delivers them: one that the machine
// held up goes on at its rate rather than catching up in a burst.
inline std::vector<std::string> readSideBySide(
    const std::vector<Fd>& peers, std::size_t rate = 0,
    std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::vector<std::string> out(peers.size());
  std::vector<bool> ended(peers.size(), false);
  std::vector<Clock::time_point> lastRead(peers.size(), start);
  std::vector<char> buf(65536);
  while (std::find(ended.begin(), ended.end(), false) != ended.end() &&
         Clock::now() - start < bound) {
    const Clock::time_point now = Clock::now();
    std::vector<pollfd> entries;
    std::vector<std::size_t> which, allowed;
    for (std::size_t i = 0; i < peers.size(); ++i) {
      const double since = std::chrono::duration<double>(now - lastRead[i]).count();
      const std::size_t most =
          rate > 0 ? std::min(buf.size(), static_cast<std::size_t>(rate * since)) : buf.size();
      if (ended[i] || most == 0) continue;
      entries.push_back(pollfd{peers[i].get(), POLLIN, 0});
      which.push_back(i);
      allowed.push_back(most);
    }
    if (::poll(entries.data(), entries.size(), 5) <= 0) continue;
    for (std::size_t k = 0; k < entries.size(); ++k) {
      if (entries[k].revents == 0) continue;
      const std::size_t i = which[k];
      const ssize_t n = ::recv(peers[i].get(), buf.data(), allowed[k], MSG_DONTWAIT);
      if (n > 0) {
        out[i].append(buf.data(), static_cast<std::size_t>(n));
        lastRead[i] = now;
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        ended[i] = true;
      }
    }
  }
  return out;
}
