// Binding the listening socket.
//
// A decimal port number other than 0 is a base: it and the nine ports above
// it are tried in turn, so a second monitor on the machine finds the next
// free port. Any other service text (a name, or "0" for a port the kernel
// picks) is tried once. Each try walks the addresses getaddrinfo gives for a
// passive stream socket (all interfaces, IPv4 and IPv6) and keeps the first
// that binds and listens, with a listen queue sized for bursts. SO_REUSEADDR lets a restarted
// monitor take its port back while connections of the last one sit in TIME_WAIT; a port another
// socket listens on stays refused.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "httpd/error_text.h"
#include "httpd/http_server.h"
#include "httpd/log_line.h"

namespace {

constexpr int kPortTries = 10;
// Handshakes that arrive in a burst wait here for the listener; one that
// finds the queue full is dropped and retried by the peer a second later.
// The kernel caps the figure at net.core.somaxconn.
constexpr int kBacklog = SOMAXCONN;

constexpr long kLastPort = 65535;

// The port number of a decimal text without anything after it, else 0.
long basePort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const long value = std::stol(text);
  return value <= kLastPort ? value : 0;
}

int boundPortOf(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int err = errno;
    std::fprintf(stderr, "getsockname: Failed to read port from socket: %s (errc=%d)\n",
                 errorText(err).c_str(), err);
    return 0;
  }
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return 0;
}

// A listening socket on the first address of `found` that takes it, or -1.
int listenOnFirst(const addrinfo* found) {
  for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
    const int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      std::perror("socket");
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, kBacklog) == 0) return fd;
    ::close(fd);
  }
  return -1;
}

}  // namespace

bool HTTPServer::setup() {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  const long base = basePort(port);
  // No tries past the last port there is.
  const long tries = base > 0 ? std::min<long>(kPortTries, kLastPort - base + 1) : 1;
  for (long i = 0; i < tries; ++i) {
    const std::string service = base > 0 ? std::to_string(base + i) : port;
    LogLine("") << "Try binding to " << service;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(nullptr, service.c_str(), &hints, &found); rc != 0) {
      std::fprintf(stderr, "getaddrinfo: %s\n", ::gai_strerror(rc));
      return false;
    }
    const int fd = listenOnFirst(found);
    ::freeaddrinfo(found);
    if (fd >= 0) {
      boundPort = boundPortOf(fd);
      // The host may read the port from a pipe: the line must not wait in a
      // buffer.
      std::printf("Accept connections on socket port %d\n", boundPort);
      std::fflush(stdout);
      LogLine("") << "Start HTTP server, document root " << documentRoot;
      LogLine("") << "Accept connections on socket port " << boundPort;
      listenSocket = fd;
      return true;
    }
    std::fprintf(stderr, "Could not bind to %s\n", service.c_str());
  }
  std::fprintf(stderr, "Could not bind\n");
  return false;
}
