#pragma once
// Socket waits and writes that never block without bound and never raise
// SIGPIPE.
//
// Every wait is a poll() of at most one slice; callers loop over slices
// toward a deadline and look at their stop token in between. Every send
// uses MSG_NOSIGNAL, so a peer that is gone gives EPIPE or ECONNRESET
// instead of ending the host's process.

#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>

#include "httpd/steady_time.h"

// Waits up to min(slice, time left to deadline) for `events` on fd. Returns
// the revents seen (0 when the wait ended without any), or -1 with errno set
// when poll itself failed. EINTR counts as an empty wait.
int pollSlice(int fd, short events, SteadyTime deadline, std::chrono::milliseconds slice);

struct SendLimits {
  std::chrono::milliseconds stall;  // the peer accepts nothing this long: give up
  SteadyTime deadline;              // all of it by then, however the peer reads
  std::chrono::milliseconds slice;
};

struct SendResult {
  std::size_t sent = 0;   // of head and body together
  int error = 0;          // errno of the failure; ETIMEDOUT when a limit was reached
  SteadyTime progress{};  // when the peer last took bytes, or the send began
};

// Sends the pieces in order (a head, then a body in pieces), gathered into
// each send (so no piece need be copied behind another, and no small
// segment waits on its own), looping over partial sends until all is sent
// or a limit is reached. A send that goes on from an earlier one's result
// starts where that one left off, its bytes sent and its time of progress.
SendResult sendAll(int fd, std::span<const std::string_view> pieces, const SendLimits& limits,
                   SendResult soFar = {});
