// A host program that runs trovik with its live monitor, for the monitor
// client tests: Bard's problem with a Jacobian callback and the options
// given as name=value arguments.
//
// The run holds at two records so that a client can watch all of it: at
// the start record it prints "started" and reads a line from standard input
// before going on; at the final record (the one with "exit") it prints
// "final" and reads another line, unless the first argument is
// --no-final-hold: then the run appends its final record and stops the
// monitor at once, as a host that does not pause would. Each iteration
// record sleeps for 2 ms to leave the client time between iterations. At
// the end it prints "result STATUS RECORDS" (the return value and the
// number of records the iteration callback saw). Then a line "again PORT
// name=value ..." runs once more, with HTTP_PORT set to PORT and the
// options given (in place of the first run's); the end of input ends the
// program with 0.
//
// The library prints "Accept connections on socket port N" when the
// monitor listens (HTTP_PORT=0 gives an ephemeral port).

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/leastsq/trovik_host.h"

using namespace trovik_host;

namespace {

bool addOption(Options& options, const std::string& arg) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos) return false;
  options.push_back({arg.substr(0, eq), std::strtod(arg.c_str() + eq + 1, nullptr)});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool holdFinal = !(argc > 1 && argv[1] == std::string("--no-final-hold"));
  if (!holdFinal) ++first;
  Options options;
  for (int i = first; i < argc; ++i)
    if (!addOption(options, argv[i])) return 2;
  Host host(bard());
  host.onRecord = [holdFinal](Host& h, const Record& record) {
    const bool final = record.count("exit") != 0;
    if (h.records.size() == 1 || final) {
      std::cout << (final ? "final" : "started") << std::endl;
      std::string line;
      if (!final || holdFinal) std::getline(std::cin, line);
    }
    if (record.count("tj")) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  for (;;) {
    host.records.clear();
    const Outcome out = run(host, options);
    std::cout << "result " << out.status << " " << host.records.size() << std::endl;
    std::string line, word, port;
    if (!std::getline(std::cin, line)) return 0;
    std::istringstream again(line);
    if (!(again >> word >> port) || word != "again") return 2;
    setenv("HTTP_PORT", port.c_str(), 1);
    options.clear();
    for (std::string arg; again >> arg;)
      if (!addOption(options, arg)) return 2;
  }
}
