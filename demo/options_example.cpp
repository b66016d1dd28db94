// A small host of the option entry points: builds an option block from
// parallel name/value arrays, reads a few options back through the registry
// and sets the trace level by index.
#include <iostream>

#include "options/option_map.h"
#include "options/opts.h"

int main() {
  const char* names[] = {"cgtol", "maxit", "sdirs"};
  const double values[] = {1e-10, 500, 13};
  Opts o = zelkcomp_buildopts(names, values, 3);
  std::cout << "registered options: " << o.registry.size() << "\n";
  for (const char* name : {"cgtol", "maxit", "sdirs", "evtol"})
    std::cout << name << " = " << o.registry.at(name)->get() << "\n";

  OptionMap m = zelkcomp_buildopts2(names, values, 3);
  for (const auto& [key, value] : m)
    std::cout << key << (value.index() == 0 ? " is an integer" : " is a real") << "\n";

  zelkcomp_setopt(0, 3);
  double trace = -1;
  zelkcomp_getopt(0, &trace);
  std::cout << "trace = " << trace << "\n";
  return 0;
}
