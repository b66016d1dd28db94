// The history: whole, and as a long poll for the records a client has not
// had yet (history_feed.h says whose position that is).
//
// A poll with nothing to answer does not hold a worker: it asks to wait, the
// listener parks its connection, and it runs again once the listener's notes
// show the history grown past its position, when the long-poll time is up,
// or at once when it is stopped (the server is closing). Whenever it runs it
// answers the records after its position if there are any: the last ones a
// run appends come just before its stop, and are the ones that say why it
// stopped. With none it waits, or answers 408 when its time is up or it is
// stopped.

#include <algorithm>
#include <chrono>
#include <optional>

#include "httpd/http_server.h"
#include "httpd/monitor_endpoints.h"

namespace {

// "last" as the number of records the client holds: -1 gives 0, an index
// i gives i + 1; past any real history, the count stays a count. Nothing
// for an empty text; false for one that is no index.
bool heldRecords(const std::string& last, std::optional<std::size_t>& held) {
  if (last.empty()) return true;
  if (last == "-1") return held = 0, true;
  if (last.find_first_not_of("0123456789") != std::string::npos) return false;
  constexpr std::size_t kCap = std::size_t(1) << 48;
  std::size_t value = 0;
  for (const char c : last) value = std::min(kCap, value * 10 + static_cast<std::size_t>(c - '0'));
  held = value + 1;
  return true;
}

}  // namespace

int handleHistory(MonitorContext& context, const RequestInfo&, ResponseInfo& response) {
  response.followStep = FollowStep{std::nullopt, context.feed.all(response)};
  return 0;
}

int handleHistoryUpdate(MonitorContext& context, std::stop_token stop, const RequestInfo& request,
                        ResponseInfo& response) {
  std::optional<std::size_t> held;
  if (!heldRecords(request.parameters["last"], held))
    return failWith(response, 400, "Invalid record index");
  HistoryFeed& feed = context.feed;
  if (held) {
    const std::size_t end = feed.after(*held, response);
    // Where each answer (a 408 too) leaves a client with a position of its
    // own: a stop waits for it while it has records left to fetch.
    response.followStep = FollowStep{*held, std::max(end, *held)};
    if (end > *held) return 0;
  } else if (feed.undelivered(response)) {
    return 0;
  }
  const SteadyTime now = std::chrono::steady_clock::now();
  const SteadyTime until = request.waitedUntil.value_or(now + context.server.waits.longPoll);
  if (now >= until || stop.stop_requested()) return failTimedOut(response);
  // No answer yet; a follower's step stays, to say where it waits.
  if (held)
    response.wait = EndpointWait{until, [&feed, n = *held] { return feed.knownSize() > n; }};
  else
    response.wait =
        EndpointWait{until, [&feed] { return feed.knownSize() > feed.knownDelivered(); }};
  return 0;
}

int historyNotify(HistoryFeed& feed, int) {
  feed.notice();
  return 0;
}
