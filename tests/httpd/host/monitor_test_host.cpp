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
// End of input stops the server and ends the program.
//
// Arguments: --traps (first) arms the invalid, divide-by-zero and overflow
// traps before the start, as the driver does; --long-poll-ms N or
// --first-byte-ms N shortens that wait.

#include <fenv.h>

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

int main(int argc, char** argv) {
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
