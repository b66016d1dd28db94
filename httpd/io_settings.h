#pragma once
// Time and size limits of the monitor. The defaults are what the monitor runs
// with; tests shorten the deadlines. Set them before the server serves its
// first request.

#include <chrono>
#include <cstddef>

#include "httpd/steady_time.h"

// Serving one connection.
struct ConnectionIOSettings {
  using ms = std::chrono::milliseconds;

  ms firstByte{2000};      // a peer that sends nothing this long gets 408
  ms wholeRequest{10000};  // the whole request must have arrived by then (408)
  ms sendStall{10000};     // an answer that makes no progress this long is given up
  // Every answer must have gone within sendBudget plus its size at
  // minSendRate (bytes a second), however its peer reads: a reader at that
  // rate or above gets all of it, however long it takes and however many
  // read at once, and one that takes a few bytes now and then holds its
  // place in the table only for the budget. While the table is full, a
  // reader below that rate gives way to a new connection.
  ms sendBudget{10000};
  std::size_t minSendRate = 64 * 1024;
  // The answers on their way hold at most this many bytes together (text
  // they share counted once); one that would not fit is refused with 503
  // before its first byte.
  std::size_t maxSendingBytes = std::size_t(512) << 20;
  // The most of an answer the kernel is let hold unsent (TCP_NOTSENT_LOWAT):
  // its socket polls writable once less than half of this is left, so more
  // goes as soon as the reader has taken some, and a slow reader's answer
  // does not sit in a send buffer of megabytes.
  int unsentLow = 128 * 1024;
  ms linger{1000};                    // at most this long reading what a refused peer still sends
  ms slice{50};                       // longest single wait, between checks of the stop token
  std::size_t maxHeaderBytes = 8192;  // request line and headers, blank line included
  std::size_t maxBodyBytes = 16 * 1024 * 1024;

  // When an answer of `bytes` begun at `start` must have gone.
  SteadyTime sendDeadline(SteadyTime start, std::size_t bytes) const {
    return start + sendBudget + ms(static_cast<long long>(bytes * 1000 / rate()));
  }
  // True when a reader that has taken `taken` bytes of an answer begun at
  // `start` has read more slowly than minSendRate.
  bool belowRate(SteadyTime start, std::size_t taken, SteadyTime now) const {
    const auto elapsed = std::chrono::duration_cast<ms>(now - start).count();
    return elapsed > 0 && taken < rate() * static_cast<std::size_t>(elapsed) / 1000;
  }
  std::size_t rate() const { return minSendRate > 0 ? minSendRate : 1; }
};

// The server's own waits: the listener's passes, the waiting endpoints and
// the stop.
struct MonitorWaits {
  using ms = std::chrono::milliseconds;

  ms longPoll{25000};        // a history poll with nothing new ends with 408
  ms remoteDelayCap{60000};  // longest /delay a peer on another host may ask for
  ms idlePass{1};            // an idle listener's pass
  ms fullTableWarning{250};  // interval of the warning while the table is full
  ms acceptBackoff{100};     // pause after accept ran out of descriptors or memory
  // At a stop (or a quit) the server goes on serving for at most stopGrace:
  // the requests that had arrived whole are answered, and at a stop the
  // history's followers get what the run appended before it stopped. It
  // ends sooner once those requests are answered and (at a stop) no
  // follower answered in the grace before it was left behind the history's
  // end without coming back; a follower without a position of its own is
  // waited for followUpWindow after its answer.
  ms stopGrace{1000};
  ms followUpWindow{250};
  std::size_t maxStaticFileBytes = 64 * 1024 * 1024;
};

// Both, as a start of the monitor takes them.
struct MonitorSettings {
  ConnectionIOSettings io;
  MonitorWaits waits;
};
