#pragma once
// Time and size limits of the monitor. The defaults are what the monitor runs
// with; tests shorten the deadlines. Set them before the server serves its
// first request.

#include <chrono>
#include <cstddef>

// Serving one connection.
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

// The server's own waits: the listener's passes, the waiting endpoints and
// the stop.
struct MonitorWaits {
  using ms = std::chrono::milliseconds;

  ms longPoll{25000};         // a history poll with nothing new ends with 408
  ms remoteDelayCap{60000};   // longest /delay a peer on another host may ask for
  ms idlePass{1};             // an idle listener's pass
  ms fullTableWarning{250};   // interval of the warning while the table is full
  ms acceptBackoff{100};      // pause after accept ran out of descriptors or memory
  ms stopGrace{1000};         // answers in progress may finish this long at a stop
  std::size_t maxStaticFileBytes = 64 * 1024 * 1024;
};

// Both, as a start of the monitor takes them.
struct MonitorSettings {
  ConnectionIOSettings io;
  MonitorWaits waits;
};
