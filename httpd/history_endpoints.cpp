// The history: whole, and as a long poll for the records not yet delivered.
//
// `run.delivered` counts the records monitor clients have been sent. Each
// answer sends from there (or from the start) to the end and moves it to the
// end, so a client that reads the whole history and then polls receives
// every record once; pollers share the count, and the first one answered
// takes the new records. The driver appends under run.mutex and never
// notifies: the listener's pass calls historyNotify, which wakes the polls
// when the history has grown past `delivered`.

#include <chrono>

#include "httpd/http_server.h"
#include "httpd/json_writer.h"
#include "httpd/monitor_endpoints.h"
#include "httpd/monitor_json.h"

namespace {

// The records [from, end) as a JSON array; `delivered` moves to the end.
// Under run.mutex.
std::string deliverFrom(const IterationHistory& history, RunInfo& run, std::size_t from) {
  std::string out;
  out.reserve((history.size() - from) * 256 + 4);
  JsonObjectList list(out);
  for (std::size_t i = from; i < history.size(); ++i) {
    list.next();
    appendRecordJson(out, history[i]);
  }
  list.close();
  run.delivered = history.size();
  return out;
}

}  // namespace

int handleHistory(MonitorContext& context, const RequestInfo&, ResponseInfo& response) {
  MonitorSources& s = context.sources;
  std::lock_guard<std::mutex> lock(s.run.mutex);
  response.body = deliverFrom(s.history, s.run, 0);
  return 0;
}

// Ends with 408 when nothing new came within the long-poll time, or when the
// connection was stopped (its peer went away, or the server is stopping).
int handleHistoryUpdate(MonitorContext& context, std::stop_token stop, const RequestInfo&,
                        ResponseInfo& response) {
  MonitorSources& s = context.sources;
  const auto deadline = std::chrono::steady_clock::now() + context.server.waits.longPoll;
  std::unique_lock<std::mutex> lock(s.run.mutex);
  const bool fresh = s.run.cv.wait_until(lock, stop, deadline,
                                         [&s] { return s.run.delivered < s.history.size(); });
  if (!fresh) return failTimedOut(response);
  response.body = deliverFrom(s.history, s.run, s.run.delivered);
  return 0;
}

int historyNotify(IterationHistory& history, RunInfo& run, int) {
  std::unique_lock<std::mutex> lock(run.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  const bool grown = history.size() != run.delivered;
  lock.unlock();
  if (grown) run.cv.notify_all();
  return 0;
}
