// A host program that runs trovik with its live monitor, for the monitor
// client test: Bard's problem with a Jacobian callback and the options
// given as name=value arguments.
//
// The run holds at two records so that a client can watch all of it: at
// the start record it prints "started" and reads a line from standard input
// before going on; at the final record (the one with "exit") it prints
// "final" and reads another line. Each iteration record sleeps for 2 ms to
// leave the client time between iterations. At the end it prints "result
// STATUS RECORDS" (the return value and the number of records the
// iteration callback saw) and exits 0.
//
// The library prints "Accept connections on socket port N" when the
// monitor listens (HTTP_PORT=0 gives an ephemeral port).

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "tests/leastsq/trovik_host.h"

using namespace trovik_host;

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) return 2;
    options.push_back({arg.substr(0, eq), std::strtod(arg.c_str() + eq + 1, nullptr)});
  }
  Host host(bard());
  host.onRecord = [](Host& h, const Record& record) {
    if (h.records.size() == 1 || record.count("exit")) {
      std::cout << (record.count("exit") ? "final" : "started") << std::endl;
      std::string line;
      std::getline(std::cin, line);
    }
    if (record.count("tj")) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  const Outcome out = run(host, options);
  std::cout << "result " << out.status << " " << host.records.size() << std::endl;
  return 0;
}
