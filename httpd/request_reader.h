#pragma once
// Reads one HTTP request from a connected socket within its deadlines.
//
// The header block is read until the blank line that ends it, however the
// peer cut it into segments, and then exactly the announced number of body
// bytes. Waits are poll() slices: between empty slices the connection's stop
// token is looked at, and the first-byte and whole-request deadlines end the
// read. Bytes that are already there are always read before a stop is
// honoured, so a peer that sends its request and half-closes is read whole.

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

#include "httpd/io_settings.h"
#include "httpd/socket_io.h"

class RequestReader {
 public:
  enum class Outcome {
    Complete,    // what was asked for has arrived
    PeerClosed,  // end of stream before that
    TimedOut,    // the first-byte or the whole-request deadline passed
    Stopped,     // a stop was requested while nothing arrived
    TooLarge,    // no end of the header block within the cap
    Failed,      // a socket error (see error())
  };

  RequestReader(int socket, std::stop_token stop, const ConnectionIOSettings& io);

  Outcome readHeaderBlock();
  // After a complete header block: length body bytes into body (what came
  // with the header block first). On failure body holds what arrived.
  Outcome readBody(std::size_t length, std::string& body);

  // The header block, its blank line included; after an early end, all that
  // arrived.
  std::string_view head() const;
  std::size_t received() const { return received_; }
  int error() const { return error_; }
  // True when the peer sent more than the request asked for, or when the
  // read ended before the request did: unread input may still come.
  bool inputLeft() const { return inputLeft_; }

 private:
  int socket_;
  std::stop_token stop_;
  const ConnectionIOSettings& io_;
  SteadyTime firstByteDeadline_;
  SteadyTime wholeDeadline_;
  std::string data_;
  std::size_t headEnd_ = std::string::npos;
  std::size_t received_ = 0;
  int error_ = 0;
  bool inputLeft_ = true;

  // One recv of at most size bytes into buf once some are there.
  Outcome receiveSome(char* buf, std::size_t size, std::size_t& got);
};
