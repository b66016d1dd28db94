// A C++ host of the option entry points, built against an installed tree
// only: calls each of them once, the README's lines among them (they are
// included from readme_options.inc, which the install test writes), and
// checks one result of each. Prints "options ok", or the checks that failed.

#include <zelk/options.h>

#include <cstdio>
#include <variant>

namespace {

int failures = 0;

void expect(bool holds, const char* what) {
  if (holds) return;
  std::printf("failed: %s\n", what);
  ++failures;
}

template <class T>
bool holdsValue(const OptionMap& map, const char* key, T value) {
  auto it = map.find(key);
  return it != map.end() && std::holds_alternative<T>(it->second) &&
         std::get<T>(it->second) == value;
}

}  // namespace

int main() {
  const char* names[] = {"maxit", "tol"};
  const double values[] = {500, 1e-8};
#include "readme_options.inc"
  expect(trace == 3.0, "zelkcomp_getopt reads the trace level zelkcomp_setopt set");
  expect(holdsValue(map, "maxit", 500L) && holdsValue(map, "tol", 1e-8),
         "zelkcomp_buildopts2: a whole number as long, another as double");

  const Opts block = zelkcomp_buildopts(names, values, 2);
  expect(block.maxit == 500 && block.cgmaxit == 10000,
         "zelkcomp_buildopts: the override over the defaults");

  const char* texts[] = {"many", "1e-3"};
  expect(zelkcomp_buildoptmap(names, texts, 2).at("tol") == "1e-3",
         "zelkcomp_buildoptmap: a text copied");
  expect(zelkcomp_buildoptmap(names, values, 1).at("maxit") == "500",
         "zelkcomp_buildoptmap: a number as {:.17g}");

  const OptionMap defaults = {{"tol", 1e-15}, {"dim_k", 10L}};
  const OptionMap joined = map_union(defaults, map);
  expect(joined.size() == 3 && holdsValue(joined, "tol", 1e-8) &&
             holdsValue(joined, "dim_k", 10L),
         "map_union: the second map wins, the first fills in");

  if (failures == 0) std::printf("options ok\n");
  return failures == 0 ? 0 : 1;
}
