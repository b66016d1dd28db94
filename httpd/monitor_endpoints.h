#pragma once
// The handlers behind the monitor's routes (monitor_routes.h) and the pure
// pieces they are made of.
//
// Each handler reads its inputs from the request's parameters by name, fills
// the response and returns 0, or fails with a status and message (failWith).

#include <chrono>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

#include "httpd/history_feed.h"
#include "httpd/monitor_sources.h"
#include "httpd/request_info.h"

class HTTPServer;

// What the handlers of one server share.
struct MonitorContext {
  MonitorSources sources;
  HTTPServer& server;
  // The monitor's own reads and writes of option and status slots, so that
  // two requests never race each other on a slot.
  std::mutex slotMutex;
  HistoryFeed feed;

  MonitorContext(const MonitorSources& s, HTTPServer& srv)
      : sources(s), server(srv), feed(s.history, s.run) {}
};

int handleRoot(const RequestInfo& request, ResponseInfo& response);
int handleGetOption(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
int handleSetOption(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
int handleListOptions(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
int handleListStatus(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
int handleHistory(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
// Parameter "last": the index of the last record the client holds (-1 for
// none); without it, the records no client has been sent.
int handleHistoryUpdate(MonitorContext& context, std::stop_token stop, const RequestInfo& request,
                        ResponseInfo& response);
// The server's notify callback, on the listener after every pass: the parked
// history polls may look at the history's size again (HistoryFeed::notice).
// Never waits for run.mutex: when the mutex is busy, the next pass looks
// again.
int historyNotify(HistoryFeed& feed, int tick);
int handleGetData(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
int handleListData(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
// Routes "/get|file/NAME", "/index.html", "/favicon.ico": the type of the
// file's extension.
int handleStaticFile(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);
// Route "/TYPE/NAME": TYPE counts only for a file whose extension has none.
int handleTypedStaticFile(MonitorContext& context, const RequestInfo& request,
                          ResponseInfo& response);
int handleDelay(MonitorContext& context, std::stop_token stop, const RequestInfo& request,
                ResponseInfo& response);
int handleServerQuit(MonitorContext& context, const RequestInfo& request, ResponseInfo& response);

// An option value as the set routes read it: the whole text in strtod's
// syntax (decimal, hexadecimal, "inf", "nan"), read in the C locale whatever
// the host's; NaN when the text is empty or anything follows the number.
// Safe under armed floating-point traps.
double parseOptionValue(const std::string& text);

// A duration of the delay and quit routes: decimal digits, in milliseconds,
// clamped to [0, INT_MAX] without any conversion that could overflow; the
// digits without leading zeros, as the answer echoes them.
struct RequestedWait {
  std::chrono::milliseconds wait{0};
  std::string text = "0";
};
RequestedWait parseDuration(std::string_view digits);
