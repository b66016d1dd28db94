// The option values the drivers cannot run with: each rule at its edges,
// only for a driver that reads the option with the block's other values,
// and the monitor's changes checked by the rules of the driver that runs.

#include "options/option_limits.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>

#include "support/fp_traps.h"

namespace {

using Overrides = std::map<std::string, double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kSignallingNaN = std::bit_cast<double>(std::uint64_t{0x7ff4000000000001});

// The refused option's name for the reader, "" when it runs with the block.
std::string refusedBy(const Overrides& overrides, OptionReader reader) {
  const Opts block(overrides);
  const auto unusable = unusableOption(block, reader);
  return unusable ? unusable->name : "";
}

TEST(OptionLimits, EachRuleAtItsEdgesOnlyWhereTheDriverReadsTheValue) {
  FpTrapGuard traps;  // NaN and the infinities are told apart by their bits
  const struct {
    Overrides overrides;
    const char *minimizer, *leastSquares;
  } cases[] = {
      {{}, "", ""},
      {{{"maxit", -1}, {"maxrt", kNaN}, {"tolGradAbs", kNaN}, {"objLimit", kNaN}}, "", ""},
      // Sweeps and refinements: zelk's search and trovik's sorted one
      // ("lstype" 1) sweep, trovik's other one refines.
      {{{"nsweeps", 1000}, {"lsmaxit", 1000}, {"lstype", 0}}, "", ""},
      {{{"nsweeps", 1001}}, "nsweeps", "nsweeps"},
      {{{"nsweeps", -1}}, "nsweeps", "nsweeps"},  // held as 4294967295
      {{{"nsweeps", 5000}, {"lstype", 0}}, "nsweeps", ""},
      {{{"nsweeps", 5000}, {"alpha", 0.5}}, "", ""},  // fixed steps search nothing
      {{{"lsmaxit", 1e9}}, "", ""},
      {{{"lsmaxit", 1e9}, {"lstype", 0}}, "", "lsmaxit"},
      {{{"lsmaxit", 1e9}, {"lstype", 0}, {"alpha", -1}}, "", ""},
      {{{"lsmaxit", -1}, {"lstype", 2}}, "", ""},  // no refinement at all
      // Constants no trial can pass with, where a test reads them.
      {{{"c1", kNaN}}, "c1", "c1"},
      {{{"c1", kSignallingNaN}}, "c1", "c1"},
      {{{"c1", kInf}}, "c1", "c1"},
      {{{"c1", kNaN}, {"wolcheck", 0}}, "c1", ""},  // trovik: decrease alone
      {{{"c1", kNaN}, {"alpha", 1}}, "", ""},
      {{{"c1", 1}}, "", ""},
      {{{"c1", -kInf}}, "", ""},
      {{{"c2", kNaN}}, "", ""},  // level 1 tests no curvature
      {{{"c2", kNaN}, {"wolcheck", 2}}, "c2", "c2"},
      {{{"c2", -kInf}, {"wolcheck", 5}}, "c2", "c2"},
      {{{"c2", kNaN}, {"wolcheck", 5}, {"alpha", 2}}, "", ""},
      {{{"c2", 0}, {"wolcheck", 3}}, "", ""},
      {{{"c2", kInf}, {"wolcheck", 3}}, "", ""},
      // Every level is a test.
      {{{"wolcheck", 5}}, "", ""},
      {{{"wolcheck", -1}}, "", ""},
      {{{"wolcheck", 1e9}, {"c2", 1e-300}}, "", ""},
      // zelk's first trial step; trovik never reads it.
      {{{"alpha0", 1e300}}, "", ""},
      {{{"alpha0", 0}}, "alpha0", ""},
      {{{"alpha0", -1}}, "alpha0", ""},
      {{{"alpha0", kNaN}}, "alpha0", ""},
      {{{"alpha0", 0}, {"alpha", 0.1}}, "", ""},
      // Values the methods give a meaning.
      {{{"alphamin", 0.5}}, "", ""},
      {{{"alphamin", kNaN}}, "", ""},
      {{{"alpha", -0.5}}, "", ""},
      {{{"alpha", 1e300}}, "", ""},
      {{{"alpha", kNaN}}, "", ""},
      {{{"alpha", 2}, {"alphamax", 1}}, "", ""},
      {{{"tolCheckFunc", -1}, {"tolCheckGrad", kNaN}, {"tolCheckHess", -1}}, "", ""},
      {{{"objLimit", kInf}}, "", ""},
      // trovik's directions; zelk takes its own list when the mask has none.
      {{{"sdirs", 0}}, "", "sdirs"},
      {{{"sdirs", -128}}, "", "sdirs"},  // 0xffffff80: no bit of SD0 .. SD6
      {{{"sdirs", 0}, {"alpha", 1}}, "", "sdirs"},
      {{{"sdirs", 0}, {"enableFallback", 1}}, "", ""},
      {{{"sdirs", 64}}, "", ""},
      {{{"sdirs", -1}}, "", ""},  // every kind, and bits that name none
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    EXPECT_EQ(refusedBy(c.overrides, OptionReader::Minimizer), c.minimizer);
    EXPECT_EQ(refusedBy(c.overrides, OptionReader::LeastSquares), c.leastSquares);
    EXPECT_EQ(refusedBy(c.overrides, OptionReader::None), "");
  }
}

TEST(OptionLimits, TheRefusalNamesTheOptionTheValueAndTheReason) {
  FpTrapGuard traps;
  const struct {
    double value;
    const char* text;
  } cases[] = {{-1, "-1"},    {1e9, "1e+09"},  {0.1, "0.1"},
               {kNaN, "NaN"}, {-kInf, "-inf"}, {kSignallingNaN, "NaN"}};
  for (const auto& c : cases)
    EXPECT_EQ(refusedOptionText("nsweeps", c.value, "why"),
              std::string("option \"nsweeps\" = ") + c.text + " refused: why");
  const Opts block(Overrides{{"nsweeps", -1}});
  EXPECT_EQ(unusableOption(block, OptionReader::LeastSquares)->reason,
            "4294967295 sweeps in every line search would run for hours; at most 1000");
}

// The monitor's changes go to the process-wide block; the test puts its
// values back.
class OptionChange : public testing::Test {
 protected:
  OptionChange() { saved_.assignValues(opts); }
  ~OptionChange() override { opts.assignValues(saved_); }
  Opts saved_;
};

TEST_F(OptionChange, RefusedByTheRunningDriverOnlyForAValueTheChangeItselfBrings) {
  const std::string sweeps =
      " refused: 5000 sweeps in every line search would run for hours; at most 1000";
  const std::string fallback =
      " refused: \"sdirs\" 0 names no kind of direction (bits 1 for SD0 to 64 for SD6), and "
      "with \"enableFallback\" 0 the run has none";
  const struct {
    OptionReader reader;
    Overrides run;  // the running block
    const char* name;
    double value;
    std::string refusal;  // "" when stored
  } cases[] = {
      {OptionReader::LeastSquares, {}, "alpha0", 0, ""},
      {OptionReader::LeastSquares, {}, "nsweeps", 5000, "option \"nsweeps\" = 5000" + sweeps},
      {OptionReader::Minimizer, {}, "alpha0", 0, "option \"alpha0\" = 0 refused: the "
       "backtracking only shrinks its first trial step, which must be a finite number above 0 "
       "for any search to find a step"},
      {OptionReader::None, {}, "nsweeps", 5000, ""},  // the next run starts from its own
      {OptionReader::LeastSquares, {}, "c2", kNaN, ""},
      {OptionReader::LeastSquares, {{"c2", kNaN}}, "wolcheck", 3, "option \"wolcheck\" = 3 "
       "refused: no step can pass the curvature test with it (f'(a) >= c2 f'(0)) at "
       "\"wolcheck\" 3, so no search would ever find one"},
      // A value nothing read becomes one a search reads.
      {OptionReader::LeastSquares, {{"alpha", 1}, {"nsweeps", 5000}}, "alpha", 0,
       "option \"alpha\" = 0" + sweeps},
      {OptionReader::LeastSquares, {{"sdirs", 0}, {"enableFallback", 1}}, "enableFallback", 0,
       "option \"enableFallback\" = 0" + fallback},
      // Held before the change: other changes go through.
      {OptionReader::Minimizer, {{"alpha0", kNaN}}, "maxit", 3, ""},
      {OptionReader::Minimizer, {{"nsweeps", 5000}}, "nsweeps", 6000, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " row " + std::to_string(&c - cases));
    const Opts loaded(c.run);
    const double before = loaded.registry.at(c.name)->get();
    {
      const RunningOptions running(loaded, c.reader);
      VariantPtrBase& slot = *opts.registry.at(c.name);
      EXPECT_EQ(changeOptionDuringRun(slot, c.value), c.refusal);
      const double now = slot.get();
      if (c.refusal.empty())
        EXPECT_TRUE(std::isnan(c.value) ? std::isnan(now) : now == c.value) << now;
      else
        EXPECT_EQ(now, before);
    }
    // The run has ended: nothing reads the block for a driver.
    EXPECT_EQ(changeOptionDuringRun(*opts.registry.at("nsweeps"), 5000), "");
  }
  // A slot of another block is none of the drivers' business.
  const RunningOptions running(Opts(), OptionReader::LeastSquares);
  unsigned field = 0;
  VariantPtr<unsigned> other(0, 0, 0, &field);
  EXPECT_EQ(changeOptionDuringRun(other, 5000), "");
  EXPECT_EQ(field, 5000u);
}

}  // namespace
