// The split search of one node, seen through fit: recorded split fields (a depth limit of 0
// keeps the root's search result without splitting), the children's means, tie-breaks,
// admissibility and the untouched node when no split is possible.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "tree/decision_tree_regressor.hpp"

namespace tacitor {
namespace {

// The root of a tree grown on a small training set; depth_limit 1 splits only the root, so
// nodes 1 and 2 (when present) carry the side means of its best candidate.
struct NodeSearch {
  DecisionTreeRegressor tree;

  NodeSearch(std::size_t nrows, std::size_t ncols, std::vector<float> row_major,
             std::vector<float> targets, DecisionTreeRegressorParameters parameters = {},
             std::uint16_t depth_limit = 1) {
    const DenseMatrix x = DenseMatrix::create(nrows, ncols, std::move(row_major), false).value();
    parameters.depth_limit = depth_limit;
    tree = DecisionTreeRegressor::fit(x, VectorView(targets), parameters).value();
  }

  bool split() const { return tree.nodes[0].gain.has_value(); }
  const TreeNode& node() const { return tree.nodes[0]; }
  double lower_mean() const { return tree.nodes.at(1).mean; }
  double upper_mean() const { return tree.nodes.at(2).mean; }
};

void expect_no_split(const NodeSearch& s) {
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_FALSE(s.node().threshold.has_value());
  EXPECT_FALSE(s.node().gain.has_value());
  EXPECT_EQ(s.tree.nodes.size(), 1u);
}

TEST(SplitSearchRecords, SingleBoundaryGainThresholdAndSideMeans) {
  NodeSearch s(3, 1, {1, 1, 2}, {0, 0, 3});
  ASSERT_EQ(s.node().mean, 1.0);
  ASSERT_TRUE(s.split());
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(*s.node().gain, 6.0);
  EXPECT_EQ(s.lower_mean(), 0.0);
  EXPECT_EQ(s.upper_mean(), 3.0);
}

TEST(SplitSearchRecords, ZeroGainIsStillASplit) {
  NodeSearch s(2, 1, {1, 2}, {5, 5});
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(*s.node().gain, 0.0);
  EXPECT_EQ(s.lower_mean(), 5.0);
  EXPECT_EQ(s.upper_mean(), 5.0);
}

TEST(SplitSearchRecords, ThresholdOfNeighbouringFloatsCanEqualTheUpperValue) {
  // a + b = 2 + 3 * 2^-23 lies halfway between two floats and rounds to the even one, 2b.
  const float a = 1.0f + std::ldexp(1.0f, -23);
  const float b = 1.0f + std::ldexp(1.0f, -22);
  // The recorded threshold then sends both rows to the lower side and the split is rejected;
  // depth_limit 0 keeps the search's record.
  NodeSearch s(2, 1, {a, b}, {0, 1}, {}, 0);
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, static_cast<double>(b));
}

TEST(SplitSearchRecords, ThresholdNearTheTopOfTheRangeIsInfinite) {
  const float big = std::numeric_limits<float>::max();
  NodeSearch s(2, 1, {big * 0.75f, big}, {0, 1}, {}, 0);
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, std::numeric_limits<double>::infinity());
}

TEST(SplitSearchRecords, GainBitsFollowTheEvaluationOrder) {
  // ((lower term + upper term) - parent term) in double; lower + (upper - parent) would end
  // one unit in the last place higher, a float evaluation far off.
  NodeSearch s(3, 1, {1, 2, 3}, {-2.2f, 2.1f, 1.6f});
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(*s.node().gain, 0x1.5deb854147ae1p+3);
  EXPECT_EQ(s.lower_mean(), static_cast<double>(-2.2f));
  EXPECT_EQ(s.upper_mean(), 0x1.d999990000000p+0);
}

TEST(SplitSearchNoSplit, AllValuesEqualInEveryColumn) {
  NodeSearch s(3, 2, {4, 7, 4, 7, 4, 7}, {1, 2, 3});
  EXPECT_FALSE(s.split());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, SignedZerosAreOneValue) {
  NodeSearch s(2, 1, {-0.0f, 0.0f}, {1, 2});
  EXPECT_FALSE(s.split());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, BelowMinSplitCountIsNeverSearched) {
  DecisionTreeRegressorParameters parameters;
  parameters.min_split_count = 4;
  NodeSearch s(3, 1, {1, 2, 3}, {1, 2, 3}, parameters);
  EXPECT_FALSE(s.split());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, SingleRowWithDefaultParameters) {
  NodeSearch s(1, 2, {1, 2}, {3});
  EXPECT_FALSE(s.split());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, ZeroColumns) {
  NodeSearch s(3, 0, {}, {1, 2, 3});
  EXPECT_FALSE(s.split());
  expect_no_split(s);
}

TEST(SplitSearchAdmissibility, MinLeafCountRestrictsBoundaries) {
  // Without the restriction the outlier row 0 would be split off at 1.5.
  DecisionTreeRegressorParameters parameters;
  parameters.min_leaf_count = 2;
  NodeSearch s(4, 1, {1, 2, 3, 4}, {100, 0, 0, 0}, parameters);
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, 2.5);
  EXPECT_EQ(s.lower_mean(), 50.0);
  EXPECT_EQ(s.upper_mean(), 0.0);

  NodeSearch unrestricted(4, 1, {1, 2, 3, 4}, {100, 0, 0, 0});
  ASSERT_TRUE(unrestricted.split());
  EXPECT_EQ(*unrestricted.node().threshold, 1.5);
}

TEST(SplitSearchAdmissibility, MinLeafCountCanExcludeEveryBoundary) {
  DecisionTreeRegressorParameters parameters;
  parameters.min_leaf_count = 3;
  NodeSearch s(4, 1, {1, 2, 3, 4}, {1, 2, 3, 4}, parameters);
  EXPECT_FALSE(s.split());
  expect_no_split(s);
}

TEST(SplitSearchTies, EqualGainsWithinAColumnKeepTheLowerThreshold) {
  // Splits 1 | 2,3 and 1,2 | 3 of targets 0, 1, 0 both give 0.5 - 3 * (1/3)^2, bit for bit.
  NodeSearch s(3, 1, {1, 2, 3}, {0, 1, 0});
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(s.lower_mean(), 0.0);
  EXPECT_EQ(s.upper_mean(), 0.5);
}

TEST(SplitSearchTies, EqualGainsAcrossColumnsKeepTheLowerColumn) {
  // Column 1 orders the rows like column 0 but with other thresholds.
  NodeSearch s(3, 2, {1, 10, 2, 20, 3, 30}, {0, 0, 3});
  ASSERT_TRUE(s.split());
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_EQ(*s.node().threshold, 2.5);
}

TEST(SplitSearchTies, BestGainCarriesOverBetweenColumns) {
  // Column 0 separates poorly, column 1 perfectly, column 2 poorly again (gains 100/3, 100,
  // 100/3): a search that forgot the earlier columns would end on column 2.
  NodeSearch s(4, 3, {1, 1, 2, 3, 2, 4, 2, 3, 1, 4, 4, 3}, {0, 0, 10, 10});
  ASSERT_TRUE(s.split());
  EXPECT_EQ(s.node().feature, 1u);
  EXPECT_EQ(*s.node().threshold, 2.5);
  EXPECT_EQ(s.lower_mean(), 0.0);
  EXPECT_EQ(s.upper_mean(), 10.0);
}

TEST(SplitSearchTies, NaNMeanKeepsTheFirstAdmissibleBoundary) {
  // A NaN target makes the root's mean and every gain NaN.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  NodeSearch s(3, 2, {1, 1, 2, 2, 3, 3}, {0, nan, 2}, {}, 0);
  ASSERT_TRUE(std::isnan(s.node().mean));
  ASSERT_TRUE(s.split());
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_TRUE(std::isnan(*s.node().gain));
}

TEST(SplitSearchTies, NaNGainNeverReplacesAnEarlierCandidate) {
  // An infinite target: the first boundary's gain is NaN, later ones are NaN too.
  const float inf = std::numeric_limits<float>::infinity();
  NodeSearch s(3, 1, {1, 2, 3}, {0, 1, inf});
  ASSERT_TRUE(s.split());
  EXPECT_EQ(*s.node().threshold, 1.5);
}

}  // namespace
}  // namespace tacitor
