#include "dense/dataframe.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

void expectColumn(const std::valarray<double>& got, std::initializer_list<double> want) {
  ASSERT_EQ(got.size(), want.size());
  std::size_t i = 0;
  for (double w : want) EXPECT_EQ(got[i++], w) << "row " << i - 1;
}

DataFrame trials() { return DataFrame("alpha", {0, 0.5, 1}, "J", {3, 2, 4}, "wc", {0, 15, 15}); }

}  // namespace

TEST(DataFrame, LookupAndRowSelection) {
  DataFrame t = trials();
  expectColumn(t.getvector("J"), {3, 2, 4});
  EXPECT_EQ(t.getvector("x").size(), 0u);
  EXPECT_EQ(&t.getvector("x"), &t.missing);

  DataFrame byIndex = t[std::valarray<std::size_t>{2, 0, 2}];
  EXPECT_EQ(byIndex.names, t.names);
  expectColumn(byIndex.getvector("alpha"), {1, 0, 1});
  expectColumn(byIndex.getvector("wc"), {15, 0, 15});
  DataFrame byMask = t[std::valarray<bool>{false, true, true}];
  expectColumn(byMask.getvector("J"), {2, 4});
  EXPECT_EQ(t[std::valarray<std::size_t>{}].getvector("J").size(), 0u);

  const std::valarray<std::size_t> beyond = {0, 3};
  const std::valarray<bool> shortMask = {true, false}, longMask = {true, false, true, true};
  EXPECT_THROW(t[beyond], std::out_of_range);
  EXPECT_THROW(t[shortMask], std::invalid_argument);
  EXPECT_THROW(t[longMask], std::invalid_argument);

  t.names.push_back("J");  // a second column of a known name: lookups find the first
  t.values.push_back({9, 9, 9});
  expectColumn(t.getvector("J"), {3, 2, 4});
}

TEST(DataFrame, CopyAndMove) {
  DataFrame t = trials();
  DataFrame c(t);
  c.getvector("J")[0] = -1;
  EXPECT_EQ(t.getvector("J")[0], 3.0);

  DataFrame target = DataFrame("a", {1}, "b", {2}, "c", {3});
  target = std::move(c);
  expectColumn(target.getvector("J"), {-1, 2, 4});
  EXPECT_TRUE(c.names.empty());
  EXPECT_TRUE(c.values.empty());
}

TEST(DataFrame, RbindMatchesColumnsByName) {
  const DataFrame t = trials();
  DataFrame joined = rbind(t, DataFrame("wc", {7}, "alpha", {2}, "J", {1}));
  EXPECT_EQ(joined.names, t.names);
  expectColumn(joined.getvector("alpha"), {0, 0.5, 1, 2});
  expectColumn(joined.getvector("J"), {3, 2, 4, 1});
  expectColumn(joined.getvector("wc"), {0, 15, 15, 7});

  // Names only one side has: the table stays rectangular, zero-filled.
  DataFrame sweep = trials();
  sweep.names.push_back("d");
  sweep.values.push_back({0, 0, 0});
  DataFrame accepted("alpha", {2, 3}, "J", {1, 0.5}, "wc", {15, 15});
  accepted.names.push_back("dJ");
  accepted.values.push_back({-0.5, -0.25});
  DataFrame all = rbind(sweep, accepted);
  ASSERT_EQ(all.names, (std::vector<std::string>{"alpha", "J", "wc", "d", "dJ"}));
  for (const auto& column : all.values) EXPECT_EQ(column.size(), 5u);
  expectColumn(all.getvector("d"), {0, 0, 0, 0, 0});
  expectColumn(all.getvector("dJ"), {0, 0, 0, -0.5, -0.25});
  expectColumn(all[std::valarray<bool>{false, false, false, true, true}].getvector("alpha"),
               {2, 3});

  // Repeated names pair up in order.
  DataFrame dup = trials();
  dup.names.push_back("J");
  dup.values.push_back({9, 9, 9});
  DataFrame dupOther = trials()[std::valarray<std::size_t>{0}];
  dupOther.names.push_back("J");
  dupOther.values.push_back({8});
  DataFrame both = rbind(dup, dupOther);
  expectColumn(both.values[1], {3, 2, 4, 3});
  expectColumn(both.values[3], {9, 9, 9, 8});

  DataFrame fromEmpty = rbind(DataFrame(), t);
  EXPECT_EQ(fromEmpty.names, t.names);
  expectColumn(fromEmpty.getvector("J"), {3, 2, 4});
}
