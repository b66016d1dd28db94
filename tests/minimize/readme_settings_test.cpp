// The tables of README.md's "What a run costs" that weigh zelk's settings
// show what their runs give, row by row (tests/support/zelk_settings.h
// makes both the runs and the lines; bench/zelk_settings.cpp prints them).
// Beside the tables the README says what the cells leave out: a run with a
// gradient only takes one gradient per iteration and one more, a run with
// the Hessian one Hessian per iteration and a single gradient (the check's).

#include "minimize/zelk_fixtures.h"
#include "support/readme_text.h"
#include "support/zelk_settings.h"

namespace {

using namespace zelk_settings;
using ZelkSettings = zelk_test::ZelkTest;

TEST_F(ZelkSettings, TheReadmeTablesShowWhatTheRunsGive) {
  for (const Table* table : {&gradientTable(), &hessianTable()}) {
    SCOPED_TRACE(table->corner);
    EXPECT_TRUE(readmeSays(headerLine(*table))) << headerLine(*table);
    for (const Row& row : rows()) {
      std::vector<Measured> runs;
      stderrOf([&] { runs = measureRow(*table, row); });
      for (const Measured& m : runs) {
        if (table->callbacks.hessian) {
          EXPECT_EQ(m.hessians, m.iterations) << row.label;
          EXPECT_EQ(m.gradients, 1) << row.label;
        } else {
          EXPECT_EQ(m.gradients, m.iterations + 1) << row.label;
        }
      }
      EXPECT_TRUE(readmeSays(rowLine(row, runs))) << rowLine(row, runs);
    }
  }
}

}  // namespace
