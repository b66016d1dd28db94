// A stand-in for the least-squares driver, for the monitor tests: it lends
// the monitor the data {"x": [1, 2, 3], "y": [1, NaN, Inf]}, an empty
// history and a run record, and appends a record per line of standard input
// under the run's mutex, as the driver does between iterations.
//
// The library prints "Accept connections on socket port N" when it listens.
// Input lines:
//   key=value key=value ...   a record of these pairs, prints "appended SIZE"
//   !stop                     zelkcomp_stop_httpd, prints "stopped RC"
//   !wait                     zelkcomp_wait_httpd, prints "waited RC"
//   !start                    starts again, prints "started" or "start failed"
//   !exit                     ends the program with exit(0), the server still running
//   !fit N US                 N iterations of US microseconds of work, each ending in a
//                             record appended under the run's mutex, as a fit does; prints
//                             "fit N TOTAL_US WAITED_US" (WAITED_US: spent waiting for the mutex)
// End of input stops the server and ends the program.
//
// Arguments: --traps (first) arms the invalid, divide-by-zero and overflow
// traps before the start, as the driver does; --long-poll-ms N or
// --first-byte-ms N shortens that wait.

#include <fenv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <valarray>

#include "httpd/monitor_start.h"
#include "zelk/monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

// Busy for us microseconds, as a fit's arithmetic would be.
void work(long us) {
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(us);
  while (Clock::now() < end) {
  }
}

// A record of the size a least-squares iteration writes.
IterationRecord fitRecord(long it) {
  IterationRecord record{{"it", std::to_string(it)}};
  for (const char* key : {"J", "a", "d", "g", "h", "nv", "nj", "s", "t", "tj", "x0", "x1"}) {
    char value[32];
    std::snprintf(value, sizeof value, "%.17g", 1.0 / static_cast<double>(it + 3));
    record[key] = value;
  }
  return record;
}

// Microseconds of the whole fit and of its waits for the mutex.
std::pair<long long, long long> fit(IterationHistory& history, RunInfo& run, long n, long us) {
  using std::chrono::duration_cast;
  using std::chrono::microseconds;
  const Clock::time_point start = Clock::now();
  Clock::duration waited{};
  for (long i = 0; i < n; ++i) {
    work(us);
    IterationRecord record = fitRecord(i);
    const Clock::time_point asked = Clock::now();
    std::lock_guard<std::mutex> lock(run.mutex);
    waited += Clock::now() - asked;
    history.push_back(std::move(record));
  }
  return {duration_cast<microseconds>(Clock::now() - start).count(),
          duration_cast<microseconds>(waited).count()};
}

}  // namespace

int main(int argc, char** argv) {
  // This program holds the monitor itself rather than loading libzelk.so,
  // so the library's folder cannot lead to the pages: unless the caller
  // names a place, serve those of the build folder, which a library loaded
  // from there would serve.
  if (!std::getenv("ZELK_HOME") && !std::getenv("ZELK_SHARE") && !std::getenv("ZELK_HTMLROOT"))
    setenv("ZELK_HTMLROOT", ZELK_BUILD_HTML, 1);
  std::valarray<double> x{1.0, 2.0, 3.0};
  std::valarray<double> y{1.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
  MonitorDataMap data{{"x", &x}, {"y", &y}};
  IterationHistory history;
  RunInfo run;
  MonitorSettings settings;  // the library's, unless an argument shortens a wait
  const bool armed = argc > 1 && argv[1] == std::string("--traps");
  const int traps = armed ? FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW : 0;
  for (int i = armed ? 2 : 1; i + 1 < argc; i += 2)
    (argv[i] == std::string("--long-poll-ms") ? settings.waits.longPoll : settings.io.firstByte) =
        std::chrono::milliseconds(std::atol(argv[i + 1]));
  feenableexcept(traps);
  void* server = nullptr;
  const auto start = [&] {
    server = startRunMonitor(data, history, run, settings);
    std::cout << (server ? "started" : "start failed") << std::endl;
  };
  start();
  if (!server) return 1;

  for (std::string line; std::getline(std::cin, line);) {
    if (line == "!stop") {
      std::cout << "stopped " << zelkcomp_stop_httpd(std::exchange(server, nullptr)) << std::endl;
    } else if (line == "!wait") {
      std::cout << "waited " << zelkcomp_wait_httpd(server) << std::endl;
    } else if (line == "!start") {
      start();
    } else if (line.rfind("!fit ", 0) == 0) {
      long n = 0, us = 0;
      std::istringstream(line.substr(5)) >> n >> us;
      const auto [total, waited] = fit(history, run, n, us);
      std::cout << "fit " << n << " " << total << " " << waited << std::endl;
    } else if (line == "!exit") {
      std::exit(0);
    } else {
      IterationRecord record;
      std::istringstream pairs(line);
      for (std::string pair; pairs >> pair;) {
        const std::size_t eq = pair.find('=');
        record[pair.substr(0, eq)] = pair.substr(eq + 1);
      }
      std::lock_guard<std::mutex> lock(run.mutex);
      history.push_back(std::move(record));
      std::cout << "appended " << history.size() << std::endl;
    }
  }
  zelkcomp_stop_httpd(server);
  // The traps must still be as the host set them.
  return fegetexcept() == traps ? 0 : 3;
}
