#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "httpd/json_writer.h"
#include "support/fp_traps.h"

namespace {

TEST(JsonWriter, StringsEscapedAndNumbersUnderTraps) {
  EXPECT_EQ(jsonString("say \"hi\" \\ \n\t\x01 é"), "\"say \\\"hi\\\" \\\\ \\n\\t\\u0001 é\"");
  FpTrapGuard traps;
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } cases[] = {{1.5, "1.5"},           {0.1, "0.10000000000000001"},
               {-2e-300, "-2.0000000000000001e-300"},
               {std::nan(""), "\"NaN\""}, {inf, "\"Inf\""}, {-inf, "\"-Inf\""}};
  for (const auto& c : cases) {
    std::string out;
    appendJsonNumber(out, c.value);
    EXPECT_EQ(out, c.text);
  }
}

}  // namespace
