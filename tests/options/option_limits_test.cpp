// The option values the drivers cannot run with: each rule at its edges,
// for the driver that reads the option, and the monitor's check of one
// change against the running block.

#include "options/option_limits.h"

#include <gtest/gtest.h>

#include <bit>
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

// The refused option's name for each driver, "" when it runs with the block.
std::string refusedBy(const Overrides& overrides, OptionReader reader) {
  const Opts block(overrides);
  const auto unusable = unusableOption(block, reader);
  return unusable ? unusable->name : "";
}

TEST(OptionLimits, EachRuleAtItsEdgesForTheDriversThatReadIt) {
  FpTrapGuard traps;  // NaN and the infinities are told apart by their bits
  const struct {
    Overrides overrides;
    const char *minimizer, *leastSquares;
  } cases[] = {
      {{}, "", ""},
      {{{"maxit", -1}, {"maxrt", kNaN}, {"tolGradAbs", kNaN}, {"objLimit", kNaN}}, "", ""},
      {{{"nsweeps", 1000}, {"lsmaxit", 1000}}, "", ""},
      {{{"nsweeps", 1001}}, "nsweeps", "nsweeps"},
      {{{"nsweeps", -1}}, "nsweeps", "nsweeps"},  // held as 4294967295
      {{{"lsmaxit", 1e9}}, "", "lsmaxit"},
      {{{"lsmaxit", -1}}, "", ""},  // no refinement at all
      {{{"c1", 0}, {"c2", 1e-300}}, "", ""},
      {{{"c1", 1}}, "c1", "c1"},
      {{{"c1", -1e-300}}, "c1", "c1"},
      {{{"c1", kSignallingNaN}}, "c1", "c1"},
      {{{"c1", -kInf}}, "c1", "c1"},
      {{{"c2", 0}}, "c2", "c2"},
      {{{"c2", kNaN}}, "c2", "c2"},
      {{{"c2", kInf}}, "", ""},  // no curvature test at all
      {{{"wolcheck", 3}}, "", ""},
      {{{"wolcheck", 1e9}}, "wolcheck", "wolcheck"},
      {{{"wolcheck", -1}}, "wolcheck", "wolcheck"},
      {{{"alpha0", 1e300}}, "", ""},
      {{{"alpha0", 0}}, "alpha0", ""},
      {{{"alpha0", kInf}}, "alpha0", ""},
      {{{"alphamin", 0.49999999999999994}, {"alpha0", kNaN}}, "alpha0", ""},
      {{{"alphamin", -kInf}}, "", ""},
      {{{"alphamin", 0.5}}, "alphamin", "alphamin"},
      {{{"alphamin", kNaN}}, "alphamin", "alphamin"},
      {{{"alpha", 1e80}}, "", ""},
      {{{"alpha", -0.0}}, "", ""},
      {{{"alpha", 1e300}}, "alpha", "alpha"},
      {{{"alpha", 2}, {"alphamax", 1}}, "alpha", "alpha"},
      {{{"alpha", 2}, {"alphamax", kNaN}}, "", ""},
      {{{"alpha", -0.5}}, "alpha", "alpha"},
      {{{"alpha", kInf}}, "alpha", "alpha"},
      {{{"alpha", kNaN}}, "alpha", "alpha"},
      {{{"sdirs", 0}}, "", "sdirs"},
      {{{"sdirs", 0.5}}, "", "sdirs"},
      {{{"sdirs", -128}}, "", "sdirs"},  // 0xffffff80: no bit of SD0 .. SD6
      {{{"sdirs", 1e9}}, "", "sdirs"},   // 0x3b9aca00 likewise
      {{{"sdirs", 0}, {"enableFallback", 1}}, "", ""},
      {{{"sdirs", 64}}, "", ""},
      {{{"sdirs", -1}}, "", ""},  // every kind, and bits that name none
      {{{"tolCheckFunc", 0}, {"tolCheckGrad", kInf}, {"tolCheckHess", -0.0}}, "", ""},
      {{{"tolCheckFunc", -1}}, "tolCheckFunc", "tolCheckFunc"},
      {{{"tolCheckFunc", kNaN}}, "tolCheckFunc", "tolCheckFunc"},
      {{{"tolCheckGrad", kNaN}}, "tolCheckGrad", "tolCheckGrad"},
      {{{"tolCheckHess", -1e-300}}, "tolCheckHess", ""},
      {{{"objLimit", -1.7976931348623157e308}}, "", ""},
      {{{"objLimit", kInf}}, "objLimit", "objLimit"},
      {{{"objLimit", -kInf}}, "objLimit", "objLimit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(&c - cases));
    EXPECT_EQ(refusedBy(c.overrides, OptionReader::Minimizer), c.minimizer);
    EXPECT_EQ(refusedBy(c.overrides, OptionReader::LeastSquares), c.leastSquares);
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
  EXPECT_EQ(unusableOption(block, OptionReader::Any)->reason,
            "4294967295 sweeps in every line search would run for hours; at most 1000");
}

// The monitor's changes go to the process-wide block; the test puts its
// values back.
class OptionChange : public testing::Test {
 protected:
  OptionChange() { saved_.assignValues(opts); }
  ~OptionChange() override { opts.assignValues(saved_); }
  static std::string change(const char* name, double value) {
    return refusedOptionChange(*opts.registry.at(name), value);
  }
  Opts saved_;
};

TEST_F(OptionChange, RefusedOnlyForAValueTheChangeItselfBrings) {
  opts.assignValues(Opts(Overrides{{"sdirs", 0}, {"enableFallback", 1}, {"alpha0", kNaN}}));
  EXPECT_EQ(change("nsweeps", -1),
            "option \"nsweeps\" = -1 refused: 4294967295 sweeps in every line search would run "
            "for hours; at most 1000");
  // Without the fallback the mask names no kind: the change to the switch
  // is refused, with the mask's reason.
  EXPECT_EQ(change("enableFallback", 0),
            "option \"enableFallback\" = 0 refused: \"sdirs\" 0 names no kind of direction (bits "
            "1 for SD0 to 64 for SD6), and with \"enableFallback\" 0 the run has none");
  EXPECT_EQ(change("alphamax", 0.25), "");  // no fixed step to bound
  opts.alpha = 0.5;
  EXPECT_NE(change("alphamax", 0.25), "");
  // alpha0 NaN (read only by the minimiser) was there before: other changes
  // go through.
  EXPECT_EQ(change("maxit", 3), "");
  EXPECT_EQ(change("alphamin", 1e308),
            "option \"alphamin\" = 1e+308 refused: the smallest step length must be a number "
            "below 0.5");
  // A slot of another block is none of the drivers' business.
  double field = 0.0;
  VariantPtr<double> other(0, 0, 0, &field);
  EXPECT_EQ(refusedOptionChange(other, kNaN), "");
  EXPECT_EQ(opts.nsweeps, 3u);  // nothing stored by the checks
}

}  // namespace
