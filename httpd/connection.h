#pragma once
// The record of one accepted connection in the server's connection table.
//
// A connection is served by turns: the listener reads its request, a worker
// runs its endpoint and sends what of the answer the socket takes at once,
// and the listener may take it back to park it while its endpoint waits, to
// send the rest of the answer as the peer reads it, or to let it linger
// before the close. The state says who holds it; only the holder touches the
// record's other fields and its socket:
//   listener  Accepted, HeaderParsed, RequestRead while queued, Waiting,
//             Writing, Lingering
//   worker    RequestRead once handed over, Sending, Sent
// A worker hands a connection back by a store of its state, after its last
// write of the fields; the listener reads the state before the fields.
//
// The listener creates the record and publishes it in the table; the worker
// looks it up once and holds it by shared_ptr, so the listener may remove
// finished records while others are being served. `socketOpen` is read and
// written only under the server's table lock: whoever closes the socket
// clears it there, so nobody shuts down or polls a descriptor number that
// may already belong to something else.

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "httpd/request_info.h"
#include "httpd/request_intake.h"
#include "httpd/shared_text.h"
#include "httpd/socket_io.h"
#include "httpd/steady_time.h"

class HTTPEndPoint;

// Connection states.
namespace ConnState {
inline constexpr int Accepted = 0;      // the listener reads the header block
inline constexpr int HeaderParsed = 2;  // the listener reads the body
inline constexpr int RequestRead = 3;   // complete: queued for a worker, or with one
inline constexpr int Sending = 4;
inline constexpr int Sent = 5;
inline constexpr int Lingering = 6;  // answered; the listener drains the peer's rest
inline constexpr int Closed = 7;
inline constexpr int Waiting = 8;  // parked with the listener until its endpoint can answer
inline constexpr int Writing = 9;  // the listener sends the rest of the answer as the peer reads
}  // namespace ConnState

// An answer on its way: its text, what of it went, and by when the rest must.
struct AnswerInFlight {
  std::string head;  // a failure's body too
  // The endpoint's body (ResponseInfo): its own text, shared text, the end.
  std::string body;
  SharedText shared;
  std::string bodyEnd;
  SendResult sent;  // what the kernel accepted
  SteadyTime start{};
  SteadyTime deadline{};  // the send budget's end
  // What the peer has taken of it (the kernel holds nothing of that any
  // more, not even for a resend), when that last grew or the peer had taken
  // all there was, and when it was last looked at: a reader is judged by
  // these, never by what the kernel took on its behalf. One that has taken
  // all there was (caughtUp) waits for us: it is neither stalled nor slow.
  std::size_t taken = 0;
  SteadyTime tookAt{};
  SteadyTime lookedAt{};
  bool caughtUp = false;
  bool counted = false;  // its bytes are counted against the server's cap
  int result = -1;       // the endpoint's
  // Where the answer leaves a follower with a position of its own (a
  // followed endpoint's); while parked, the position it waits at.
  std::optional<FollowStep> follow;

  std::array<std::string_view, 4> pieces() const { return {head, body, shared.text, bodyEnd}; }
  std::size_t size() const {
    return head.size() + body.size() + shared.text.size() + bodyEnd.size();
  }
  bool whole() const { return sent.sent == size(); }
  // Sends what the socket takes now (ETIMEDOUT when it takes no more),
  // within the budget.
  void sendWithoutWaiting(int socket) {
    using std::chrono::milliseconds;
    sent = sendAll(socket, pieces(), SendLimits{milliseconds(0), deadline, milliseconds(0)}, sent);
  }
  // Asks the kernel what it still holds of what it accepted (unsent, or
  // sent and not acknowledged): the rest the peer has taken.
  void lookAtPeer(int socket, SteadyTime now) {
    lookedAt = now;
    int held = 0;
    if (::ioctl(socket, SIOCOUTQ, &held) != 0 || held < 0) return;
    const std::size_t nowTaken = sent.sent - std::min(sent.sent, static_cast<std::size_t>(held));
    caughtUp = held == 0;
    if (nowTaken > taken || caughtUp) taken = nowTaken, tookAt = now;
  }
};

struct RequestHandlerInfo {
  long reqid = 0;
  int socket = -1;
  bool socketOpen = true;  // under the table lock
  std::atomic<int> state{ConnState::Accepted};
  std::unique_ptr<std::jthread> thread;  // only when connections get threads of their own
  std::string host;
  std::string port;
  std::stop_source stop;    // its token reaches the endpoints
  std::future<int> result;  // of the pool worker serving it

  // While the request arrives.
  RequestIntake intake;
  SteadyTime firstByteDeadline{};
  SteadyTime requestDeadline{};
  // The request as read and the endpoint it goes to.
  RequestInfo request;
  HTTPEndPoint* endpoint = nullptr;
  // While parked: what its endpoint waits for.
  EndpointWait wait;
  // From the endpoint's result until the answer has gone, or failed to.
  AnswerInFlight answer;
  // While lingering: when the close comes at the latest.
  SteadyTime lingerDeadline{};

  // Closes the socket unless that was done; under the table lock. The errno
  // of a failed close, else 0.
  int closeLocked() noexcept {
    if (!socketOpen) return 0;
    socketOpen = false;
    return ::close(socket) == 0 ? 0 : errno;
  }
};
