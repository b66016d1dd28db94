#pragma once
// Time and size limits of serving one connection. The defaults are what the
// monitor runs with; tests shorten the deadlines. Set them before the server
// serves its first request.

#include <chrono>
#include <cstddef>

struct ConnectionIOSettings {
  using ms = std::chrono::milliseconds;

  ms firstByte{2000};      // a peer that sends nothing this long gets 408
  ms wholeRequest{10000};  // the whole request must have arrived by then (408)
  ms sendStall{10000};     // an answer that makes no progress this long is given up
  ms linger{1000};         // at most this long reading what a refused peer still sends
  ms slice{50};            // longest single wait, between checks of the stop token
  std::size_t maxHeaderBytes = 8192;          // request line and headers, blank line included
  std::size_t maxBodyBytes = 16 * 1024 * 1024;
};
