// The monitor's entry points.
//
// Live servers are kept in a registry: stop and wait act only on a server
// that start returned and stop has not yet taken, so a stale or doubled
// handle is harmless. The first start installs an exit hook that stops every
// live server before the library's static objects are destroyed: a host (or
// zelkStop) that ends the process during a run must not leave workers
// reading freed option slots. Every entry point runs with the caller's
// floating-point traps off and restores them, and lets no exception out.

#include "zelk/monitor.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "httpd/error_text.h"
#include "httpd/get_env.h"
#include "httpd/http_server.h"
#include "httpd/library_path.h"
#include "httpd/log_line.h"
#include "httpd/monitor_start.h"
#include "httpd/traps_off.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

std::mutex liveMutex;
std::set<void*> liveServers;  // under liveMutex
bool exitHookInstalled = false;

void stopLiveServersAtExit() {
  std::set<void*> servers;
  {
    std::lock_guard<std::mutex> lock(liveMutex);
    servers.swap(liveServers);
  }
  TrapsOff traps;
  for (void* server : servers) delete static_cast<HTTPServer*>(server);
}

void registerLive(HTTPServer* server) {
  std::lock_guard<std::mutex> lock(liveMutex);
  liveServers.insert(server);
  if (!exitHookInstalled) exitHookInstalled = std::atexit(stopLiveServersAtExit) == 0;
}

// The live server behind handle, taken out of the registry; null for none.
HTTPServer* takeLive(void* handle) {
  std::lock_guard<std::mutex> lock(liveMutex);
  if (liveServers.erase(handle) == 0) return nullptr;
  return static_cast<HTTPServer*>(handle);
}

void logFailure(const char* what) noexcept {
  try {
    LogLine("") << "Error: " << what << ": " << currentExceptionText();
  } catch (...) {
  }
}

}  // namespace

void* startMonitor(const MonitorSources& sources, const MonitorSettings& settings) noexcept {
  TrapsOff traps;
  try {
    const GetEnv port("HTTP_PORT", "8881");
    const GetEnv home("ZELK_HOME", "");
    const GetEnv share("ZELK_SHARE", "");
    const GetEnv htmlRoot("ZELK_HTMLROOT", "");
    const GetEnv remote("ZELK_HTTP_ALLOW_REMOTE_SET", "");
    auto server = std::make_unique<HTTPServer>(
        port.value, monitorDocumentRoot(home, share, htmlRoot, getZelkLibraryPath));
    server->io = settings.io;
    server->waits = settings.waits;
    server->allowRemoteSet = remote.value == "1";
    registerMonitorRoutes(*server, sources);
    if (!server->setup()) return nullptr;
    server->startListener();
    registerLive(server.get());
    return server.release();
  } catch (...) {
    logFailure("monitor start failed");
    return nullptr;
  }
}

template <class Slot>
void* zelkcomp_run_httpd(std::map<std::string, Slot>& options, std::map<std::string, Slot>& status,
                         MonitorDataMap& data, IterationHistory& history, RunInfo& run) {
  return startMonitor(MonitorSources{options, status, data, history, run}, MonitorSettings{});
}
template void* zelkcomp_run_httpd<VariantPtrBase*>(std::map<std::string, VariantPtrBase*>&,
                                                   std::map<std::string, VariantPtrBase*>&,
                                                   MonitorDataMap&, IterationHistory&, RunInfo&);

void* startRunMonitor(MonitorDataMap& data, IterationHistory& history, RunInfo& run,
                      const MonitorSettings& settings) noexcept {
  return startMonitor(MonitorSources{opts.registry, State::g_statelocs, data, history, run},
                      settings);
}

void* zelkcomp_start_httpd(MonitorDataMap& data, IterationHistory& history, RunInfo& run) {
  return startRunMonitor(data, history, run, MonitorSettings{});
}

long zelkcomp_wait_httpd(void* handle) {
  TrapsOff traps;
  try {
    HTTPServer* server = nullptr;
    {
      std::lock_guard<std::mutex> lock(liveMutex);
      if (!liveServers.count(handle)) return 0;
      server = static_cast<HTTPServer*>(handle);
      // Counted while it is known to live: a stop lets this wait end first.
      server->beginWait();
    }
    server->waitForListener();
  } catch (...) {
    logFailure("waiting for the monitor failed");
  }
  return 0;
}

extern "C" long zelkcomp_stop_httpd(void* handle) {
  TrapsOff traps;
  // Deleting stops first (HTTPServer::stop), which lets nothing throw.
  delete takeLive(handle);
  return 0;
}
