// Prints the tables of `zelk`'s settings that README.md shows under "What a
// run costs": iterations and objective evaluations of the defaults and of
// the settings it advises, gradient only and with the Hessian, on the
// problems of tests/support/zelk_settings.h. Paste the output over the
// README's tables when the library changes; the minimisation tests fail
// until they agree. Not a timing: the counts are deterministic.

#include <unistd.h>

#include <cstdio>

#include "quiet_stderr.h"
#include "tests/support/zelk_settings.h"

int main() {
  using namespace zelk_settings;
  for (const Table* table : {&gradientTable(), &hessianTable()}) {
    std::printf("%s\n|---|", headerLine(*table).c_str());
    for (std::size_t i = 0; i < table->columns.size(); ++i) std::printf("---|");
    std::printf("\n");
    for (const Row& row : rows()) {
      std::vector<Measured> runs;
      {
        QuietStderr quietErr;
        QuietStderr quietOut(STDOUT_FILENO);
        runs = measureRow(*table, row);
      }
      std::printf("%s\n", rowLine(row, runs).c_str());
      std::fflush(stdout);
    }
    std::printf("\n");
  }
}
