// A host program that runs trovik with its live monitor, for the monitor
// client test: Bard's problem with a Jacobian callback and the options
// given as name=value arguments.
//
// The run holds at two records so that a client can watch all of it: at
// the start record it prints "started" and reads a line from standard input
// before going on; at the final record (the one with "exit") it prints
// "final" and reads another line. Each iteration record sleeps for
// --sleep-ms milliseconds (default 2) to leave the client time between
// iterations. At the end it prints "result STATUS RECORDS" (the return
// value and the number of records the iteration callback saw) and exits 0.
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

namespace {

void holdFor(const char* what) {
  std::cout << what << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

}  // namespace

int main(int argc, char** argv) {
  int sleepMs = 2;
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    if (arg == "--sleep-ms" && i + 1 < argc) {
      sleepMs = std::atoi(argv[++i]);
    } else if (eq != std::string::npos) {
      options.push_back({arg.substr(0, eq), std::strtod(arg.c_str() + eq + 1, nullptr)});
    } else {
      std::cerr << "unknown argument " << arg << "\n";
      return 2;
    }
  }
  Host host(bard());
  host.onRecord = [sleepMs](Host& h, const Record& record) {
    if (h.records.size() == 1) holdFor("started");
    if (record.count("exit")) holdFor("final");
    if (record.count("tj")) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
  };
  const Outcome out = run(host, options);
  std::cout << "result " << out.status << " " << host.records.size() << std::endl;
  return 0;
}
