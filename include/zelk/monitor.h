// The live monitor of a least-squares run: an HTTP server on this machine
// that shows the run's options, status, data vectors and iteration history
// as JSON and a page, and lets local clients set options.
//
// A C++ interface (it takes the run's containers by reference), exported
// from libzelk only. The types and the caller's side of the locking
// contract are in zelk/monitor_data.h.
//
// Environment, read once at start:
//   HTTP_PORT       port number or service ("8881"); a number that is taken
//                   is followed by the next nine; "0" lets the kernel pick
//   ZELK_HOME       installation prefix (derived from the library's folder)
//   ZELK_SHARE      share folder (ZELK_HOME + "/share/Zelk")
//   ZELK_HTMLROOT   folder of the static files (ZELK_SHARE + "/html"); an
//                   empty value serves none
//   ZELK_HTTP_ALLOW_REMOTE_SET
//                   "1": peers on other hosts may set options and quit the
//                   server, and the Host and Origin checks are off
#ifndef ZELK_MONITOR_H
#define ZELK_MONITOR_H

#include <map>
#include <string>

#include "zelk/monitor_data.h"

class VariantPtrBase;

// Starts a monitor over the caller's data, history and run record, which
// must stay alive until zelkcomp_stop_httpd has returned. Returns the
// server, or null (after messages on standard error) when no port binds or
// a thread cannot be started. Floating-point traps of the calling thread
// are restored before it returns; the monitor's threads run without any.
void* zelkcomp_start_httpd(MonitorDataMap& data, IterationHistory& history, RunInfo& run);

// The same over given option and status registries.
template <class Slot>
void* zelkcomp_run_httpd(std::map<std::string, Slot>& options, std::map<std::string, Slot>& status,
                         MonitorDataMap& data, IterationHistory& history, RunInfo& run);
extern template void* zelkcomp_run_httpd<VariantPtrBase*>(
    std::map<std::string, VariantPtrBase*>& options, std::map<std::string, VariantPtrBase*>& status,
    MonitorDataMap& data, IterationHistory& history, RunInfo& run);

// Blocks until the server's listener has ended by itself (POST
// /server-quit) or through zelkcomp_stop_httpd. Returns 0; at once for null
// or a server already stopped.
long zelkcomp_wait_httpd(void* server);

extern "C" {
// Stops the server and frees it: its threads are joined and its sockets
// closed. For a second at most it first serves what is under way: a
// waiting or arriving history poll gets the records after its position (so
// the records appended before the stop reach every follower), or 408 when
// there are none. Returns 0, also for null or a server already stopped.
long zelkcomp_stop_httpd(void* server);
}

#endif
