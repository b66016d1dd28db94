// A C++ host built against the installed headers and library only: it lends
// the monitor one data vector and an empty history, prints "started", and
// stops the monitor at the end of its standard input. The library prints
// "Accept connections on socket port N" when it listens.

#include <cstdio>
#include <iostream>
#include <string>
#include <valarray>

#include <zelk/monitor.h>

int main() {
  std::valarray<double> x{1.0, 2.0};
  MonitorDataMap data{{"x", &x}};
  IterationHistory history;
  RunInfo run;
  void* server = zelkcomp_start_httpd(data, history, run);
  if (!server) return 1;
  std::cout << "started" << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
  }
  return static_cast<int>(zelkcomp_stop_httpd(server));
}
