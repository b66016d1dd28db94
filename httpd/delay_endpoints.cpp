// The test delay and the delayed server quit.
//
// Both take a duration in milliseconds from the path (decimal digits only).
// It is clamped to [0, INT_MAX] ms while it is still text, so no digit
// string however long overflows a conversion, and echoed without leading
// zeros so the answer stays valid JSON. A delay holds no worker: it asks to
// wait, and the listener parks its connection until the time has come or
// the connection is stopped; a peer on another host waits for at most the
// remote cap.

#include <algorithm>
#include <climits>

#include "httpd/http_server.h"
#include "httpd/local_access.h"
#include "httpd/monitor_endpoints.h"

RequestedWait parseDuration(std::string_view digits) {
  RequestedWait result;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string_view::npos) return result;
  digits.remove_prefix(first);
  result.text.assign(digits);
  long long ms = 0;
  for (const char c : digits) {
    ms = ms * 10 + (c - '0');
    if (ms >= INT_MAX) {
      ms = INT_MAX;
      break;
    }
  }
  result.wait = std::chrono::milliseconds(ms);
  return result;
}

int handleDelay(MonitorContext& context, std::stop_token stop, const RequestInfo& request,
                ResponseInfo& response) {
  const RequestedWait requested = parseDuration(request.parameters["dur"]);
  std::chrono::milliseconds wait = requested.wait;
  if (!isLoopbackAddress(request.host)) wait = std::min(wait, context.server.waits.remoteDelayCap);
  const SteadyTime now = std::chrono::steady_clock::now();
  const SteadyTime until = request.waitedUntil.value_or(now + wait);
  if (!stop.stop_requested() && now < until) {
    response.wait = EndpointWait{until, nullptr};
    return 0;
  }
  response.body = "{\"dur\": " + requested.text + "}";
  return 0;
}

int handleServerQuit(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  const RequestedWait requested = parseDuration(request.parameters["dur"]);
  if (requested.wait.count() == 0)
    context.server.quit = 1;
  else
    context.server.delayedQuit.schedule(requested.wait);
  response.body = "{\"quit-in\": " + requested.text + "}";
  return 0;
}
