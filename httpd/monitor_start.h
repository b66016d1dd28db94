#pragma once
// Starting the monitor with given limits: what zelkcomp_run_httpd does with
// the defaults, and what a test starts with shorter waits.

#include "httpd/io_settings.h"
#include "httpd/monitor_routes.h"

// The server (registered for zelkcomp_stop_httpd, zelkcomp_wait_httpd and
// the exit hook), or null. Never throws.
void* startMonitor(const MonitorSources& sources, const MonitorSettings& settings) noexcept;

// The same over the process-wide option registry and status registry.
void* startRunMonitor(MonitorDataMap& data, IterationHistory& history, RunInfo& run,
                      const MonitorSettings& settings) noexcept;
