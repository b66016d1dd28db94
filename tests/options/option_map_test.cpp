#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "options/option_map.h"
#include "options/opts.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Restores the trace level of the process-wide block after each test.
class TraceOption : public ::testing::Test {
 protected:
  void TearDown() override { opts.trace = saved_; }
  unsigned int saved_ = opts.trace;
};

TEST_F(TraceOption, SetAndGetByIndex) {
  double out = -7;
  EXPECT_EQ(zelkcomp_getopt(5, nullptr), 0);
  EXPECT_EQ(zelkcomp_getopt(0, nullptr), 0);
  EXPECT_EQ(zelkcomp_getopt(5, &out), -1);
  EXPECT_EQ(out, -7);

  EXPECT_EQ(zelkcomp_setopt(0, 3.9), 0);
  EXPECT_EQ(opts.trace, 3u);
  EXPECT_EQ(zelkcomp_getopt(0, &out), 0);
  EXPECT_EQ(out, 3.0);

  EXPECT_EQ(zelkcomp_setopt(1, 99), -1);
  EXPECT_EQ(zelkcomp_setopt(-1, 99), -1);
  EXPECT_EQ(opts.trace, 3u);

  EXPECT_EQ(zelkcomp_setopt(0, -1), 0);
  EXPECT_EQ(zelkcomp_getopt(0, &out), 0);
  EXPECT_EQ(out, 4294967295.0);

  // Non-finite input is defined: NaN keeps the level, infinities saturate.
  EXPECT_EQ(zelkcomp_setopt(0, 6), 0);
  EXPECT_EQ(zelkcomp_setopt(0, kNaN), 0);
  EXPECT_EQ(opts.trace, 6u);
  EXPECT_EQ(zelkcomp_setopt(0, kInf), 0);
  EXPECT_EQ(opts.trace, 4294967295u);
  EXPECT_EQ(zelkcomp_setopt(0, -kInf), 0);
  EXPECT_EQ(opts.trace, 0u);
}

TEST(OptionArrays, ReadingRules) {
  const char* names[] = {"maxit", nullptr, "tol"};
  const double values[] = {500, 1, 2};
  auto m = zelkcomp_buildoptmap(names, values, 3);
  EXPECT_EQ(m, (std::map<std::string, std::string>{{"maxit", "500"}}));

  const char* dup[] = {"tol", "tol"};
  const double dupValues[] = {1e-3, 1e-6};
  EXPECT_EQ(zelkcomp_buildoptmap(dup, dupValues, 2).at("tol"), "9.9999999999999995e-07");
  EXPECT_EQ(std::get<double>(zelkcomp_buildopts2(dup, dupValues, 2).at("tol")), 1e-6);

  // At most n entries are read.
  EXPECT_EQ(zelkcomp_buildoptmap(dup, dupValues, 1).at("tol"), "0.001");

  // Null arrays or a non-positive count give an empty result.
  EXPECT_TRUE(zelkcomp_buildoptmap(nullptr, values, 3).empty());
  EXPECT_TRUE(zelkcomp_buildoptmap(names, static_cast<const double*>(nullptr), 3).empty());
  EXPECT_TRUE(zelkcomp_buildoptmap(names, values, 0).empty());
  EXPECT_TRUE(zelkcomp_buildopts2(names, values, -4).empty());
  EXPECT_EQ(zelkcomp_buildopts(nullptr, values, 3).registry.size(), 106u);

  // Text values are copied unchanged; an entry with a null text is skipped.
  const char* textNames[] = {"method", "skipped", "tol", "end", "after"};
  const char* texts[] = {"cg normal", nullptr, "1e-8", "x", "y"};
  textNames[3] = nullptr;
  EXPECT_EQ(zelkcomp_buildoptmap(textNames, texts, 5),
            (std::map<std::string, std::string>{{"method", "cg normal"}, {"tol", "1e-8"}}));
  EXPECT_TRUE(zelkcomp_buildoptmap(textNames, static_cast<const char* const*>(nullptr), 5)
                  .empty());
}

TEST(OptionArrays, VariantKinds) {
  const char* names[] = {"maxit", "tol", "one", "big", "nan", "negzero", "half",
                         "inf", "limit", "neg"};
  const double values[] = {500, 1e-8, 1, 1e20, kNaN, -0.0, 2.5, -kInf, 99999999999999984.0,
                           -42};
  const OptionMap m = zelkcomp_buildopts2(names, values, 10);
  ASSERT_EQ(m.size(), 10u);
  EXPECT_EQ(std::get<long>(m.at("maxit")), 500);
  EXPECT_EQ(std::get<double>(m.at("tol")), 1e-8);
  EXPECT_EQ(std::get<long>(m.at("one")), 1);
  EXPECT_THROW((void)std::get<double>(m.at("one")), std::bad_variant_access);
  EXPECT_EQ(std::get<double>(m.at("big")), 1e20);
  EXPECT_TRUE(std::isnan(std::get<double>(m.at("nan"))));
  EXPECT_EQ(std::get<long>(m.at("negzero")), 0);
  EXPECT_EQ(std::get<double>(m.at("half")), 2.5);
  EXPECT_EQ(std::get<double>(m.at("inf")), -kInf);
  EXPECT_EQ(std::get<long>(m.at("limit")), 99999999999999984L);  // below 1e17
  EXPECT_EQ(std::get<long>(m.at("neg")), -42);
}

TEST(OptionArrays, BuildOptsAppliesOverridesOverDefaults) {
  const char* names[] = {"cgtol", "Maxit", "trace", "sdirs", "unknown"};
  const double values[] = {1e-10, 5, 2, 6, 1};
  Opts o = zelkcomp_buildopts(names, values, 5);
  EXPECT_EQ(o.cgtol, 1e-10);
  EXPECT_EQ(o.maxit, 10000u);
  EXPECT_EQ(o.trace, 2u);
  EXPECT_EQ(o.searchDirs, (std::vector<SearchDir>{SearchDir::SD1, SearchDir::SD2}));
  EXPECT_EQ(o.cgmode, 4);
  EXPECT_EQ(o.registry.size(), 106u);
  // Built in place: the registry points into the returned object.
  o.registry.at("cgtol")->set(0.5);
  EXPECT_EQ(o.cgtol, 0.5);
}

TEST(OptionArrays, MapUnionKeepsTheSecondMapsValues) {
  const OptionMap defaults = {{"tol", 1e-15}, {"maxit", 10000L}};
  const OptionMap user = {{"tol", 1e-6}};
  const OptionMap u = map_union(defaults, user);
  EXPECT_EQ(u, (OptionMap{{"maxit", 10000L}, {"tol", 1e-6}}));

  int context = 0;
  const OptionMap lent = {{"context", static_cast<void*>(&context)}, {"tol", 3L}};
  const OptionMap v = map_union(u, lent);
  EXPECT_EQ(std::get<void*>(v.at("context")), &context);
  EXPECT_EQ(std::get<long>(v.at("tol")), 3);  // b's kind wins too
  EXPECT_EQ(std::get<long>(v.at("maxit")), 10000);
  EXPECT_EQ(map_union({}, {}), OptionMap{});
  EXPECT_EQ(map_union(defaults, {}), defaults);
}

}  // namespace
