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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "zelk/trovik.h"

namespace {

const double kY[15] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39,
                       0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};

struct Host {
  long records = 0;
  int sleepMs = 2;
};

void bard(const double* x, double* r) {
  for (int i = 0; i < 15; ++i) {
    const double u = i + 1, v = 15 - i, w = std::fmin(u, v);
    r[i] = kY[i] - (x[0] + u / (v * x[1] + w * x[2]));
  }
}

int residual(const double* x, std::size_t, double* r, std::size_t, void*) {
  bard(x, r);
  return 0;
}

int jacobian(const double* x, std::size_t, double* r, std::size_t, double* J, void*) {
  bard(x, r);
  for (int i = 0; i < 15; ++i) {
    const double u = i + 1, v = 15 - i, w = std::fmin(u, v), q = v * x[1] + w * x[2];
    J[i * 3 + 0] = -1.0;
    J[i * 3 + 1] = u * v / (q * q);
    J[i * 3 + 2] = u * w / (q * q);
  }
  return 0;
}

void holdFor(const char* what) {
  std::cout << what << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

int iteration(const double*, std::size_t, const double*, std::size_t, const void*, const void*,
              const char** keys, const char**, long count, void* user) {
  Host& h = *static_cast<Host*>(user);
  ++h.records;
  bool final = false, step = false;
  for (long i = 0; i < count; ++i) {
    final = final || std::string(keys[i]) == "exit";
    step = step || std::string(keys[i]) == "tj";
  }
  if (h.records == 1) holdFor("started");
  if (final) holdFor("final");
  if (step) std::this_thread::sleep_for(std::chrono::milliseconds(h.sleepMs));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Host host;
  std::vector<std::string> names;
  std::vector<double> values;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sleep-ms" && i + 1 < argc) {
      host.sleepMs = std::atoi(argv[++i]);
      continue;
    }
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      std::cerr << "unknown argument " << arg << "\n";
      return 2;
    }
    names.push_back(arg.substr(0, eq));
    values.push_back(std::strtod(arg.c_str() + eq + 1, nullptr));
  }
  std::vector<const char*> cnames;
  for (const std::string& n : names) cnames.push_back(n.c_str());

  const double x0[3] = {1.0, 1.0, 1.0};
  double x[3], r[15];
  const int status =
      trovik(x0, x, 3, r, 15, residual, jacobian, nullptr, nullptr, nullptr, iteration,
             cnames.data(), values.data(), static_cast<long>(cnames.size()), &host);
  std::cout << "result " << status << " " << host.records << std::endl;
  return 0;
}
