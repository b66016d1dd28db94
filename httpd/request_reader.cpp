#include "httpd/request_reader.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

RequestReader::RequestReader(int socket, std::stop_token stop, const ConnectionIOSettings& io)
    : socket_(socket), stop_(std::move(stop)), io_(io) {
  const SteadyTime now = std::chrono::steady_clock::now();
  firstByteDeadline_ = now + io.firstByte;
  wholeDeadline_ = now + io.wholeRequest;
}

RequestReader::Outcome RequestReader::receiveSome(char* buf, std::size_t size, std::size_t& got) {
  for (;;) {
    const SteadyTime deadline =
        received_ == 0 ? std::min(firstByteDeadline_, wholeDeadline_) : wholeDeadline_;
    const int events = pollSlice(socket_, POLLIN, deadline, io_.slice);
    if (events < 0) {
      error_ = errno;
      return Outcome::Failed;
    }
    if (events != 0) {
      const ssize_t n = ::recv(socket_, buf, size, MSG_DONTWAIT);
      if (n > 0) {
        got = static_cast<std::size_t>(n);
        received_ += got;
        return Outcome::Complete;
      }
      if (n == 0) return Outcome::PeerClosed;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        error_ = errno;
        return Outcome::Failed;
      }
    } else if (stop_.stop_requested()) {
      return Outcome::Stopped;
    }
    if (std::chrono::steady_clock::now() >= deadline) return Outcome::TimedOut;
  }
}

RequestReader::Outcome RequestReader::readHeaderBlock() {
  char buf[4096];
  for (;;) {
    // The blank line may straddle the segment boundary.
    const std::size_t scanFrom = data_.size() >= 3 ? data_.size() - 3 : 0;
    std::size_t got = 0;
    if (const Outcome o = receiveSome(buf, sizeof buf, got); o != Outcome::Complete) return o;
    data_.append(buf, got);
    const std::size_t blank = data_.find("\r\n\r\n", scanFrom);
    if (blank != std::string::npos) {
      headEnd_ = blank + 4;
      inputLeft_ = data_.size() > headEnd_;
      return headEnd_ <= io_.maxHeaderBytes ? Outcome::Complete : Outcome::TooLarge;
    }
    if (data_.size() >= io_.maxHeaderBytes) return Outcome::TooLarge;
  }
}

RequestReader::Outcome RequestReader::readBody(std::size_t length, std::string& body) {
  // The buffer grows with what arrives, not with what the peer announces.
  constexpr std::size_t kGrowth = 1 << 20;
  const std::size_t inHand = data_.size() - headEnd_;
  body.assign(data_, headEnd_, std::min(inHand, length));
  inputLeft_ = true;
  std::size_t have = body.size();
  while (have < length) {
    if (body.size() == have) body.resize(std::min(length, have + kGrowth));
    std::size_t got = 0;
    const Outcome o = receiveSome(&body[have], body.size() - have, got);
    if (o != Outcome::Complete) {
      body.resize(have);
      return o;
    }
    have += got;
  }
  inputLeft_ = inHand > length;
  return Outcome::Complete;
}

std::string_view RequestReader::head() const {
  const std::string_view all(data_);
  return headEnd_ == std::string::npos ? all : all.substr(0, headEnd_);
}
