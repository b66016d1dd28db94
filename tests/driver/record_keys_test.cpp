// The record keys README.md lists for each driver are the keys its records
// carry. Both drivers run through every kind of record they make, every
// trace bit on, with each set of callbacks and each family of directions
// that writes keys of its own; the keys seen are gathered per kind of
// record and compared with the README's table for that driver, both ways:
// a key the code writes and the table lacks, or one the table lists and no
// run wrote, fails.
//
// The kind of a record comes from its place in the run (start, version,
// BLAS, then the iterations, the counters and the final record), an
// iteration record by "tj", a line-search trial by "wc", and what else
// comes in between is the first iteration's derivative check.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "leastsq/trovik_host.h"
#include "support/captured_output.h"
#include "support/fp_traps.h"
#include "support/known_problems.h"
#include "support/run_scratch.h"

namespace {

using KeysByKind = std::map<std::string, std::set<std::string>>;
using Record = std::map<std::string, std::string>;

// Every trace bit a driver reads: 0x1 reference values and the enhancement,
// 0x2 and 0x20 inner solves, 0x4 the trust region, 0x100 timings and the
// build information, 0x400 line-search trials and callback times, 0x800
// the decomposition's error.
constexpr double kAllTraceBits = 0xfff;

void gather(const std::vector<Record>& records, KeysByKind& keys) {
  ASSERT_GE(records.size(), 6u);
  const std::size_t last = records.size() - 1;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    const char* kind = i == 0          ? "start"
                       : i == 1        ? "version"
                       : i == 2        ? "BLAS"
                       : i == last     ? "final"
                       : i == last - 1 ? "counters"
                       : r.count("tj") ? "iteration"
                       : r.count("wc") ? "trial"
                                       : "check";
    for (const auto& entry : r) keys[kind].insert(entry.first);
  }
}

// The table of README.md whose header starts with "| `driver` key |": its
// first column names keys ("it", or several: "cf", "cJ"), its second the
// kinds of record they come in.
KeysByKind readmeTable(const std::string& driver) {
  std::ifstream in(std::string(ZELK_SOURCE_DIR) + "/README.md");
  std::stringstream text;
  text << in.rdbuf();
  std::istringstream lines(text.str());
  const std::string header = "| `" + driver + "` key |";
  KeysByKind table;
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(header, 0) == 0) {
      inside = true;
      continue;
    }
    if (!inside) continue;
    if (line.rfind("|---", 0) == 0) continue;
    if (line.rfind("|", 0) != 0) break;
    const std::size_t second = line.find('|', 1), third = line.find('|', second + 1);
    const std::string keyCell = line.substr(1, second - 1);
    const std::string kindCell = line.substr(second + 1, third - second - 1);
    std::vector<std::string> kinds;
    const std::regex word(R"([A-Za-z]+)");
    for (std::sregex_iterator k(kindCell.begin(), kindCell.end(), word), end; k != end; ++k)
      kinds.push_back(k->str());
    const std::regex quoted(R"re("([^"]+)")re");
    for (std::sregex_iterator k(keyCell.begin(), keyCell.end(), quoted), end; k != end; ++k)
      for (const std::string& kind : kinds) table[kind].insert((*k)[1].str());
  }
  EXPECT_FALSE(table.empty()) << "no table headed " << header << " in README.md";
  return table;
}

// INFO set for the scope: with trace bit 0x100 the version record then
// carries the build information.
struct BuildInformation {
  BuildInformation() { setenv("INFO", "1", 1); }
  ~BuildInformation() { unsetenv("INFO"); }
};

using RecordKeysThreaded = DriverRunTest<>;

TEST_F(RecordKeysThreaded, ZelkWritesTheKeysTheReadmeLists) {
  namespace kp = known_problems;
  BuildInformation info;
  const kp::Options every = {{"trace", kAllTraceBits}, {"enableResume", 1}, {"saveLast", 0},
                             {"enableExit", 0},        {"checkdecomp", 1},  {"maxit", 3}};
  struct Case {
    const char* what;
    kp::Callbacks callbacks;
  } const cases[] = {
      {"gradient: nonlinear CG", {true, false, false}},
      {"Hessian: the corrected and the lifted spectrum", {true, true, false}},
      {"Hessian products: the lifted CG", {true, false, true}},
  };
  KeysByKind seen;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kp::Host h{&kp::rosenbrock()};
    FpTrapGuard traps;
    stderrOf([&] { kp::run(h, {}, every, c.callbacks); });
    gather(h.records, seen);
  }
  EXPECT_EQ(seen, readmeTable("zelk"));
}

TEST_F(RecordKeysThreaded, TrovikWritesTheKeysTheReadmeLists) {
  using namespace trovik_host;
  BuildInformation info;
  const Options every = {{"trace", kAllTraceBits},
                         {"enableResume", 1},
                         {"saveLast", 0},
                         {"enableExit", 0},
                         {"maxit", 2}};
  struct Case {
    const char* what;
    Callbacks callbacks;
    Options options;
  } const cases[] = {
      {"Jacobian, default direction", Callbacks::Jacobian, {}},
      {"Jacobian, trust region", Callbacks::Jacobian, {{"sdirs", 64}}},
      {"products, every direction", Callbacks::Products, {{"sdirs", 124}}},
  };
  KeysByKind seen;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h(bard());
    Options options = every;
    options.insert(options.end(), c.options.begin(), c.options.end());
    FpTrapGuard traps;
    stderrOf([&] { run(h, options, c.callbacks); });
    gather(h.records, seen);
  }
  EXPECT_EQ(seen, readmeTable("trovik"));
}

}  // namespace
