// The tables of README.md's "What a run costs" that weigh zelk's settings
// show what their runs give, row by row (tests/support/zelk_settings.h
// makes both the runs and the lines; bench/zelk_settings.cpp prints them).
// Beside the tables the README says what the cells leave out: a run with a
// gradient only takes one gradient per iteration and one more, a run with
// the Hessian one Hessian per iteration and a single gradient (the check's).

#include <cctype>

#include "minimize/zelk_fixtures.h"
#include "support/readme_text.h"
#include "support/zelk_settings.h"

namespace {

using namespace zelk_settings;

// One row of one table per test, so that the rows run side by side: the
// gradient table's rows, then the Hessian table's.
const Table& tableOf(std::size_t cell) {
  return cell < rows().size() ? gradientTable() : hessianTable();
}
const Row& rowOf(std::size_t cell) { return rows()[cell % rows().size()]; }

std::string rowName(const testing::TestParamInfo<std::size_t>& info) {
  std::string name = tableOf(info.param).callbacks.hessian ? "Hessian_" : "Gradient_";
  for (const char* c = rowOf(info.param).label; *c != ',' && *c != 0; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  return name;
}

class ZelkSettings : public zelk_test::ZelkTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(ZelkSettings, TheReadmeTableShowsWhatTheRunsGive) {
  const Table& table = tableOf(GetParam());
  const Row& row = rowOf(GetParam());
  EXPECT_TRUE(readmeSays(headerLine(table))) << headerLine(table);
  std::vector<Measured> runs;
  stderrOf([&] { runs = measureRow(table, row); });
  for (const Measured& m : runs) {
    if (table.callbacks.hessian) {
      EXPECT_EQ(m.hessians, m.iterations);
      EXPECT_EQ(m.gradients, 1);
    } else {
      EXPECT_EQ(m.gradients, m.iterations + 1);
    }
  }
  EXPECT_TRUE(readmeSays(rowLine(row, runs))) << rowLine(row, runs);
}

INSTANTIATE_TEST_SUITE_P(Rows, ZelkSettings, testing::Range<std::size_t>(0, 2 * rows().size()),
                         rowName);

}  // namespace
