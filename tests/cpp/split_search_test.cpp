// The split search of one node, driven directly: recorded split fields, tie-breaks,
// admissibility, count weighting and the untouched node when no split is possible.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "tree/decision_tree_regressor.hpp"
#include "tree/random.hpp"
#include "tree/split_search.hpp"

namespace tacitor {
namespace {

// One node over a small training set, set up the way fit sets up the root.
struct NodeSearch {
  DenseMatrix x;
  std::vector<float> y;
  PresortedColumns columns;
  DecisionTreeRegressor tree;
  SplitTask task;
  Xoshiro128PlusPlus rng = get_rng_impl(std::nullopt);

  NodeSearch(std::size_t nrows, std::size_t ncols, std::vector<float> row_major,
             std::vector<float> targets, DecisionTreeRegressorParameters parameters = {},
             std::vector<std::size_t> counts = {})
      : x(DenseMatrix::create(nrows, ncols, std::move(row_major), false).value()),
        y(std::move(targets)),
        columns(presort_columns(x)) {
    if (counts.empty()) {
      counts.assign(nrows, 1);
    }
    std::size_t n = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < nrows; ++i) {
      n += counts[i];
      sum += static_cast<double>(counts[i]) * static_cast<double>(y[i]);
    }
    tree.parameters = parameters;
    TreeNode root;
    root.mean = sum / static_cast<double>(n);
    tree.nodes.push_back(root);
    task.node = 0;
    task.counts = std::move(counts);
    task.level = 1;
  }

  bool search(std::size_t budget) {
    const TreeTrainingData data{x, VectorView(y), columns};
    return find_best_cutoff(tree, task, data, budget, rng);
  }
  bool search() { return search(x.ncols); }
  const TreeNode& node() const { return tree.nodes[0]; }
};

void expect_no_split(const NodeSearch& s) {
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_FALSE(s.node().threshold.has_value());
  EXPECT_FALSE(s.node().gain.has_value());
  EXPECT_EQ(s.task.lower_mean, 0.0);
  EXPECT_EQ(s.task.upper_mean, 0.0);
}

TEST(SplitSearchRecords, SingleBoundaryGainThresholdAndSideMeans) {
  NodeSearch s(3, 1, {1, 1, 2}, {0, 0, 3});
  ASSERT_EQ(s.node().mean, 1.0);
  ASSERT_TRUE(s.search());
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(*s.node().gain, 6.0);
  EXPECT_EQ(s.task.lower_mean, 0.0);
  EXPECT_EQ(s.task.upper_mean, 3.0);
}

TEST(SplitSearchRecords, ZeroGainIsStillASplit) {
  NodeSearch s(2, 1, {1, 2}, {5, 5});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(*s.node().gain, 0.0);
  EXPECT_EQ(s.task.lower_mean, 5.0);
  EXPECT_EQ(s.task.upper_mean, 5.0);
}

TEST(SplitSearchRecords, CountWeightedSumsAndSkippedRows) {
  // Row 1 has count 0: its value 2 forms no boundary and its target 100 enters no sum. Row 0
  // counts twice. n = 3, mean = (2*3 + 6) / 3 = 4; lower mean 3, upper mean 6;
  // gain = (2*3*3 + 1*6*6) - 3*4*4 = 6; the boundary is between 1 and 3.
  NodeSearch s(3, 1, {1, 2, 3}, {3, 100, 6}, {}, {2, 0, 1});
  ASSERT_EQ(s.node().mean, 4.0);
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, 2.0);
  EXPECT_EQ(*s.node().gain, 6.0);
  EXPECT_EQ(s.task.lower_mean, 3.0);
  EXPECT_EQ(s.task.upper_mean, 6.0);
}

TEST(SplitSearchRecords, ThresholdOfNeighbouringFloatsCanEqualTheUpperValue) {
  // a + b = 2 + 3 * 2^-23 lies halfway between two floats and rounds to the even one, 2b.
  const float a = 1.0f + std::ldexp(1.0f, -23);
  const float b = 1.0f + std::ldexp(1.0f, -22);
  NodeSearch s(2, 1, {a, b}, {0, 1});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, static_cast<double>(b));
}

TEST(SplitSearchRecords, ThresholdNearTheTopOfTheRangeIsInfinite) {
  const float big = std::numeric_limits<float>::max();
  NodeSearch s(2, 1, {big * 0.75f, big}, {0, 1});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, std::numeric_limits<double>::infinity());
}

TEST(SplitSearchRecords, GainBitsFollowTheEvaluationOrder) {
  // ((lower term + upper term) - parent term) in double; lower + (upper - parent) would end
  // one unit in the last place higher, a float evaluation far off.
  NodeSearch s(3, 1, {1, 2, 3}, {-2.2f, 2.1f, 1.6f});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(*s.node().gain, 0x1.5deb854147ae1p+3);
  EXPECT_EQ(s.task.lower_mean, static_cast<double>(-2.2f));
  EXPECT_EQ(s.task.upper_mean, 0x1.d999990000000p+0);
}

TEST(SplitSearchNoSplit, AllValuesEqualInEveryColumn) {
  NodeSearch s(3, 2, {4, 7, 4, 7, 4, 7}, {1, 2, 3});
  EXPECT_FALSE(s.search());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, SignedZerosAreOneValue) {
  NodeSearch s(2, 1, {-0.0f, 0.0f}, {1, 2});
  EXPECT_FALSE(s.search());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, BelowMinSplitCountLeavesNodeAndTaskUntouched) {
  DecisionTreeRegressorParameters parameters;
  parameters.min_split_count = 4;
  NodeSearch s(3, 1, {1, 2, 3}, {1, 2, 3}, parameters);
  s.task.lower_mean = 7.0;
  s.task.upper_mean = 8.0;
  s.tree.nodes[0].feature = 5;
  EXPECT_FALSE(s.search());
  EXPECT_EQ(s.task.lower_mean, 7.0);
  EXPECT_EQ(s.task.upper_mean, 8.0);
  EXPECT_EQ(s.node().feature, 5u);
  EXPECT_FALSE(s.node().gain.has_value());
}

TEST(SplitSearchNoSplit, SingleRowWithDefaultParameters) {
  NodeSearch s(1, 2, {1, 2}, {3});
  EXPECT_FALSE(s.search());
  expect_no_split(s);
}

TEST(SplitSearchNoSplit, ZeroColumns) {
  NodeSearch s(3, 0, {}, {1, 2, 3});
  EXPECT_FALSE(s.search());
  expect_no_split(s);
}

TEST(SplitSearchAdmissibility, MinLeafCountRestrictsBoundaries) {
  // Without the restriction the outlier row 0 would be split off at 1.5.
  DecisionTreeRegressorParameters parameters;
  parameters.min_leaf_count = 2;
  NodeSearch s(4, 1, {1, 2, 3, 4}, {100, 0, 0, 0}, parameters);
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, 2.5);
  EXPECT_EQ(s.task.lower_mean, 50.0);
  EXPECT_EQ(s.task.upper_mean, 0.0);

  NodeSearch unrestricted(4, 1, {1, 2, 3, 4}, {100, 0, 0, 0});
  ASSERT_TRUE(unrestricted.search());
  EXPECT_EQ(*unrestricted.node().threshold, 1.5);
}

TEST(SplitSearchAdmissibility, MinLeafCountCanExcludeEveryBoundary) {
  DecisionTreeRegressorParameters parameters;
  parameters.min_leaf_count = 3;
  NodeSearch s(4, 1, {1, 2, 3, 4}, {1, 2, 3, 4}, parameters);
  EXPECT_FALSE(s.search());
  expect_no_split(s);
}

TEST(SplitSearchTies, EqualGainsWithinAColumnKeepTheLowerThreshold) {
  // Splits 1 | 2,3 and 1,2 | 3 of targets 0, 1, 0 both give 0.5 - 3 * (1/3)^2, bit for bit.
  NodeSearch s(3, 1, {1, 2, 3}, {0, 1, 0});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_EQ(s.task.lower_mean, 0.0);
  EXPECT_EQ(s.task.upper_mean, 0.5);
}

TEST(SplitSearchTies, EqualGainsAcrossColumnsKeepTheLowerColumn) {
  // Column 1 orders the rows like column 0 but with other thresholds.
  NodeSearch s(3, 2, {1, 10, 2, 20, 3, 30}, {0, 0, 3});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_EQ(*s.node().threshold, 2.5);
}

TEST(SplitSearchTies, BestGainCarriesOverBetweenColumns) {
  // Column 0 separates poorly, column 1 perfectly, column 2 poorly again (gains 100/3, 100,
  // 100/3): a search that forgot the earlier columns would end on column 2.
  NodeSearch s(4, 3, {1, 1, 2, 3, 2, 4, 2, 3, 1, 4, 4, 3}, {0, 0, 10, 10});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(s.node().feature, 1u);
  EXPECT_EQ(*s.node().threshold, 2.5);
  EXPECT_EQ(s.task.lower_mean, 0.0);
  EXPECT_EQ(s.task.upper_mean, 10.0);
}

TEST(SplitSearchTies, NaNMeanKeepsTheFirstAdmissibleBoundary) {
  NodeSearch s(3, 2, {1, 1, 2, 2, 3, 3}, {0, 1, 2});
  s.tree.nodes[0].mean = std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(s.search());
  EXPECT_EQ(s.node().feature, 0u);
  EXPECT_EQ(*s.node().threshold, 1.5);
  EXPECT_TRUE(std::isnan(*s.node().gain));
}

TEST(SplitSearchTies, NaNGainNeverReplacesAnEarlierCandidate) {
  // An infinite target: the first boundary's gain is NaN, later ones are NaN too.
  const float inf = std::numeric_limits<float>::infinity();
  NodeSearch s(3, 1, {1, 2, 3}, {0, 1, inf});
  ASSERT_TRUE(s.search());
  EXPECT_EQ(*s.node().threshold, 1.5);
}

TEST(SplitSearchBudget, OnlyTheBudgetedColumnsOfTheShuffledListAreExamined) {
  // Every column separates the rows; column j's threshold is j + 1.5, so the threshold tells
  // which column was examined.
  const std::size_t ncols = 6;
  std::vector<float> values;
  for (std::size_t i = 0; i < 2; ++i) {
    for (std::size_t j = 0; j < ncols; ++j) {
      values.push_back(static_cast<float>(j + 1 + i));
    }
  }
  NodeSearch s(2, ncols, values, {0, 1});
  s.rng = Xoshiro128PlusPlus::from_seed(99);
  ASSERT_TRUE(s.search(1));

  Xoshiro128PlusPlus replay = Xoshiro128PlusPlus::from_seed(99);
  std::vector<std::size_t> candidates{0, 1, 2, 3, 4, 5};
  shuffle(candidates, replay);
  EXPECT_EQ(s.node().feature, candidates[0]);
  EXPECT_EQ(*s.node().threshold, static_cast<double>(candidates[0]) + 1.5);
}

TEST(SplitSearchBudget, FullBudgetDrawsNoNumber) {
  NodeSearch s(2, 3, {1, 2, 3, 4, 5, 6}, {0, 1});
  const auto before = s.rng.state();
  ASSERT_TRUE(s.search());
  EXPECT_EQ(s.rng.state(), before);
  EXPECT_EQ(s.node().feature, 0u);
}

}  // namespace
}  // namespace tacitor
