// A stand-in for the least-squares driver, for the monitor tests: it lends
// the monitor the data {"x": [1, 2, 3], "y": [1, NaN, Inf]}, an empty
// history and a run record, and appends a record per line of standard input
// under the run's mutex, as the driver does between iterations.
//
// The library prints "Accept connections on socket port N" when it listens.
// Input lines:
//   key=value key=value ...   a record of these pairs (an empty line: {"it": count})
//   !stop                     zelkcomp_stop_httpd, prints "stopped RC"
//   !wait                     zelkcomp_wait_httpd, prints "waited RC"
//   !start                    starts again, prints "started" or "start failed"
//   !exit                     ends the program with exit(0), the server still running
// End of input stops the server and ends the program.
//
// Arguments: --traps (first) arms the invalid, divide-by-zero and overflow
// traps before the start, as the driver does; --long-poll-ms N or
// --first-byte-ms N shortens that wait.

#include <fenv.h>

#include <algorithm>
#include <chrono>
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

struct Host {
  std::valarray<double> x{1.0, 2.0, 3.0};
  std::valarray<double> y{1.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()};
  MonitorDataMap data{{"x", &x}, {"y", &y}};
  IterationHistory history;
  RunInfo run;
  MonitorSettings settings;  // the library's, unless an option shortens a wait
  void* server = nullptr;

  void start() {
    server = startRunMonitor(data, history, run, settings);
    std::cout << (server ? "started" : "start failed") << std::endl;
  }

  void append(const std::string& line) {
    IterationRecord record;
    std::istringstream pairs(line);
    for (std::string pair; pairs >> pair;) {
      const std::size_t eq = std::min(pair.find('='), pair.size());
      record[pair.substr(0, eq)] = pair.substr(std::min(eq + 1, pair.size()));
    }
    std::lock_guard<std::mutex> lock(run.mutex);
    if (record.empty()) record["it"] = std::to_string(history.size());
    history.push_back(std::move(record));
    std::cout << "appended " << history.size() << std::endl;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Host host;
  const bool armed = argc > 1 && argv[1] == std::string("--traps");
  const int traps = armed ? FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW : 0;
  for (int i = armed ? 2 : 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    (arg == "--long-poll-ms" ? host.settings.waits.longPoll : host.settings.io.firstByte) =
        std::chrono::milliseconds(std::atol(argv[i + 1]));
  }
  feenableexcept(traps);
  host.start();
  if (!host.server) return 1;

  for (std::string line; std::getline(std::cin, line);) {
    if (line == "!stop")
      std::cout << "stopped " << zelkcomp_stop_httpd(std::exchange(host.server, nullptr))
                << std::endl;
    else if (line == "!wait")
      std::cout << "waited " << zelkcomp_wait_httpd(host.server) << std::endl;
    else if (line == "!start")
      host.start();
    else if (line == "!exit")
      std::exit(0);
    else
      host.append(line);
  }
  zelkcomp_stop_httpd(host.server);
  // The traps must still be as the host set them.
  return fegetexcept() == traps ? 0 : 3;
}
