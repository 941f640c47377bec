// Growing regression trees: input validation, the root value, the breadth-first growth with
// its tree-wide depth limit, rejected splits, degenerate shapes, and properties of trees
// grown on random data checked against a brute-force split search.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "tree/decision_tree_regressor.hpp"

namespace tacitor {
namespace {

DenseMatrix rows(std::size_t nrows, std::size_t ncols, std::vector<float> row_major) {
  return DenseMatrix::create(nrows, ncols, std::move(row_major), false).value();
}

DecisionTreeRegressor fit(const DenseMatrix& x, const std::vector<float>& y,
                          DecisionTreeRegressorParameters parameters = {}) {
  auto tree = DecisionTreeRegressor::fit(x, VectorView(y), parameters);
  EXPECT_TRUE(tree.has_value());
  return tree.has_value() ? std::move(tree).value() : DecisionTreeRegressor{};
}

DecisionTreeRegressorParameters depth_limited(std::uint16_t depth_limit) {
  DecisionTreeRegressorParameters parameters;
  parameters.depth_limit = depth_limit;
  return parameters;
}

void expect_single_leaf(const DecisionTreeRegressor& tree) {
  ASSERT_EQ(tree.nodes.size(), 1u);
  EXPECT_TRUE(tree.nodes[0].is_leaf());
  EXPECT_EQ(tree.depth, 0);
}

TEST(TreeFitInput, RowCountMismatchIsAFitFailure) {
  const std::vector<float> y{1, 2};
  const auto result = DecisionTreeRegressor::fit(rows(3, 2, {1, 2, 3, 4, 5, 6}), VectorView(y), {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), Failed::fit("Size of x should equal size of y"));
  EXPECT_EQ(result.error().to_string(), "Fit failed: Size of x should equal size of y");
}

TEST(TreeFitInput, ParametersAreKeptAndTheSeedChangesNothing) {
  DecisionTreeRegressorParameters parameters = depth_limited(4);
  parameters.random_seed = 12345;
  const DenseMatrix x = rows(4, 2, {1, 4, 2, 3, 3, 2, 4, 1});
  const std::vector<float> y{1, 5, 2, 8};
  const auto seeded = fit(x, y, parameters);
  ASSERT_TRUE(seeded.parameters.has_value());
  EXPECT_EQ(seeded.parameters->depth_limit, std::optional<std::uint16_t>(4));
  EXPECT_EQ(seeded.parameters->random_seed, std::optional<std::uint64_t>(12345));

  const auto unseeded = fit(x, y, depth_limited(4));
  ASSERT_EQ(seeded.nodes.size(), unseeded.nodes.size());
  for (std::size_t k = 0; k < seeded.nodes.size(); ++k) {
    EXPECT_EQ(seeded.nodes[k].threshold, unseeded.nodes[k].threshold);
    EXPECT_EQ(seeded.nodes[k].mean, unseeded.nodes[k].mean);
  }
}

TEST(TreeFitRoot, MeanIsADoubleSumInRowOrder) {
  // In double, 1e30 + 1 loses the 1, so the row-order sum is 0; any other order, or a float
  // sum of the small targets, differs.
  const auto ordered = fit(rows(3, 1, {1, 1, 1}), {1e30f, 1.0f, -1e30f});
  expect_single_leaf(ordered);
  EXPECT_EQ(ordered.nodes[0].mean, 0.0);

  const auto fine = fit(rows(3, 1, {1, 1, 1}), {1.0f, 1e-8f, 1e-8f});
  const double expected = ((0.0 + 1.0) + static_cast<double>(1e-8f)) + static_cast<double>(1e-8f);
  EXPECT_EQ(fine.nodes[0].mean, expected / 3.0);
}

TEST(TreeFitRoot, NaNTargetGivesANaNRoot) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const auto tree = fit(rows(3, 1, {1, 2, 3}), {0, nan, 2});
  ASSERT_FALSE(tree.nodes.empty());
  EXPECT_TRUE(std::isnan(tree.nodes[0].mean));
}

TEST(TreeFitDegenerate, SingleRowIsALeafWithItsTarget) {
  const auto tree = fit(rows(1, 3, {1, 2, 3}), {4.5f});
  expect_single_leaf(tree);
  EXPECT_EQ(tree.nodes[0].mean, 4.5);
}

TEST(TreeFitDegenerate, EqualRowsAreOneLeaf) {
  const auto tree = fit(rows(3, 2, {1, -0.0f, 1, 0.0f, 1, 0.0f}), {1, 2, 6});
  expect_single_leaf(tree);
  EXPECT_EQ(tree.nodes[0].mean, 3.0);
  EXPECT_FALSE(tree.nodes[0].gain.has_value());
}

TEST(TreeFitDegenerate, ZeroColumnsIsOneLeafWithTheMean) {
  const auto tree = fit(rows(4, 0, {}), {1, 2, 3, 6});
  expect_single_leaf(tree);
  EXPECT_EQ(tree.nodes[0].mean, 3.0);
}

TEST(TreeFitDegenerate, ZeroRowsIsOneLeafWithANaNMean) {
  for (const std::size_t ncols : {0, 1, 3}) {
    const auto tree = fit(rows(0, ncols, {}), {});
    expect_single_leaf(tree);
    EXPECT_TRUE(std::isnan(tree.nodes[0].mean));
    const auto predicted = tree.predict(rows(0, ncols, {}));
    ASSERT_TRUE(predicted.has_value());
    EXPECT_TRUE(predicted->empty());
  }
  DecisionTreeRegressorParameters anything_splits;
  anything_splits.min_split_count = 0;
  anything_splits.min_leaf_count = 0;
  expect_single_leaf(fit(rows(0, 2, {}), {}, anything_splits));
}

TEST(TreeFitGrowth, TwoRowsSplitHalfway) {
  const auto tree = fit(rows(2, 1, {1, 3}), {10, 20});
  ASSERT_EQ(tree.nodes.size(), 3u);
  const TreeNode& root = tree.nodes[0];
  EXPECT_EQ(root.mean, 15.0);
  EXPECT_EQ(root.feature, 0u);
  EXPECT_EQ(root.threshold, std::optional<double>(2.0));
  EXPECT_EQ(root.gain, std::optional<double>(50.0));
  EXPECT_EQ(root.lower_child, std::optional<std::size_t>(1));
  EXPECT_EQ(root.upper_child, std::optional<std::size_t>(2));
  EXPECT_EQ(tree.nodes[1].mean, 10.0);
  EXPECT_EQ(tree.nodes[2].mean, 20.0);
  EXPECT_TRUE(tree.nodes[1].is_leaf());
  EXPECT_TRUE(tree.nodes[2].is_leaf());
  EXPECT_EQ(tree.depth, 2);
}

TEST(TreeFitGrowth, ZeroGainStillSplits) {
  const auto tree = fit(rows(2, 1, {1, 2}), {5, 5});
  ASSERT_EQ(tree.nodes.size(), 3u);
  EXPECT_EQ(tree.nodes[0].gain, std::optional<double>(0.0));
  EXPECT_EQ(tree.nodes[1].mean, 5.0);
  EXPECT_EQ(tree.nodes[2].mean, 5.0);
}

// Root splits {1, 2} from {10, 11}; both children have a split of their own.
const DenseMatrix kFourRows = rows(4, 1, {1, 2, 10, 11});
const std::vector<float> kFourTargets{0, 1, 100, 101};

TEST(TreeFitDepthLimit, LimitThreeSplitsRootAndOnlyTheFirstChild) {
  const auto tree = fit(kFourRows, kFourTargets, depth_limited(3));
  ASSERT_EQ(tree.nodes.size(), 5u);
  EXPECT_EQ(tree.depth, 3);
  EXPECT_EQ(tree.nodes[0].threshold, std::optional<double>(6.0));
  EXPECT_EQ(tree.nodes[0].lower_child, std::optional<std::size_t>(1));
  EXPECT_EQ(tree.nodes[1].lower_child, std::optional<std::size_t>(3));
  EXPECT_EQ(tree.nodes[1].upper_child, std::optional<std::size_t>(4));
  EXPECT_EQ(tree.nodes[3].mean, 0.0);
  EXPECT_EQ(tree.nodes[4].mean, 1.0);
  // The upper child was searched when it was created but never dequeued.
  const TreeNode& upper = tree.nodes[2];
  EXPECT_TRUE(upper.is_leaf());
  EXPECT_EQ(upper.threshold, std::optional<double>(10.5));
  EXPECT_TRUE(upper.gain.has_value());
  EXPECT_EQ(upper.mean, 100.5);
}

TEST(TreeFitDepthLimit, SmallLimits) {
  // Limits 1 and 2 split only the root; limit 0 splits nothing although the root's split is
  // recorded; no limit splits down to single rows.
  for (const std::uint16_t limit : {1, 2}) {
    const auto tree = fit(kFourRows, kFourTargets, depth_limited(limit));
    EXPECT_EQ(tree.nodes.size(), 3u) << limit;
    EXPECT_EQ(tree.depth, 2) << limit;
  }
  const auto none = fit(kFourRows, kFourTargets, depth_limited(0));
  expect_single_leaf(none);
  EXPECT_TRUE(none.nodes[0].gain.has_value());

  const auto full = fit(kFourRows, kFourTargets);
  EXPECT_EQ(full.nodes.size(), 7u);
  EXPECT_EQ(full.depth, 3);
  const auto predicted = full.predict(kFourRows);
  ASSERT_TRUE(predicted.has_value());
  EXPECT_EQ(*predicted, kFourTargets);
}

TEST(TreeFitRejection, ThresholdEqualToTheUpperValueIsRejectedAndCleared) {
  // The threshold of neighbouring floats a < b rounds to b, which sends both rows lower.
  const float a = 1.0f + std::ldexp(1.0f, -23);
  const float b = 1.0f + std::ldexp(1.0f, -22);
  const auto tree = fit(rows(2, 1, {a, b}), {0, 1});
  expect_single_leaf(tree);
  EXPECT_EQ(tree.nodes[0].feature, 0u);
  EXPECT_FALSE(tree.nodes[0].threshold.has_value());
  EXPECT_FALSE(tree.nodes[0].gain.has_value());
  EXPECT_EQ(tree.nodes[0].mean, 0.5);
}

TEST(TreeFitRejection, RejectedSplitOfASecondColumnClearsTheFeature) {
  // Column 0 is constant; the split found on column 1 is rejected, so feature goes back to 0.
  const float a = 1.0f + std::ldexp(1.0f, -23);
  const float b = 1.0f + std::ldexp(1.0f, -22);
  const auto tree = fit(rows(2, 2, {3, a, 3, b}), {0, 1});
  expect_single_leaf(tree);
  EXPECT_EQ(tree.nodes[0].feature, 0u);
  EXPECT_FALSE(tree.nodes[0].gain.has_value());
}

TEST(TreeFitRejection, RejectionOfOneNodeLeavesTheOthersGrowing) {
  // Rows with the neighbouring floats sit below the root's threshold; the lower child's split
  // is rejected while the upper child still splits.
  const float a = 1.0f + std::ldexp(1.0f, -23);
  const float b = 1.0f + std::ldexp(1.0f, -22);
  const auto tree = fit(rows(4, 1, {a, b, 100, 200}), {0, 1, 50, 60});
  ASSERT_EQ(tree.nodes.size(), 5u);
  EXPECT_TRUE(tree.nodes[1].is_leaf());
  EXPECT_FALSE(tree.nodes[1].gain.has_value());
  EXPECT_EQ(tree.nodes[2].lower_child, std::optional<std::size_t>(3));
}

TEST(TreeFitStorage, LayoutsAndStridedTargetsGiveTheSameTree) {
  const DenseMatrix row_major = rows(3, 2, {3, 1, 1, 2, 2, 3});
  const DenseMatrix column_major = DenseMatrix::create(3, 2, {3, 1, 2, 1, 2, 3}, true).value();
  const std::vector<float> y{7, 1, 4};
  const std::vector<float> interleaved{7, -1, 1, -1, 4, -1};
  const auto a = fit(row_major, y);
  const auto b = fit(column_major, y);
  auto c_result = DecisionTreeRegressor::fit(row_major, VectorView(interleaved.data(), 3, 2), {});
  ASSERT_TRUE(c_result.has_value());
  const auto& c = *c_result;
  ASSERT_EQ(a.nodes.size(), b.nodes.size());
  ASSERT_EQ(a.nodes.size(), c.nodes.size());
  for (std::size_t k = 0; k < a.nodes.size(); ++k) {
    EXPECT_EQ(a.nodes[k].feature, b.nodes[k].feature);
    EXPECT_EQ(a.nodes[k].threshold, b.nodes[k].threshold);
    EXPECT_EQ(a.nodes[k].mean, b.nodes[k].mean);
    EXPECT_EQ(a.nodes[k].mean, c.nodes[k].mean);
    EXPECT_EQ(a.nodes[k].threshold, c.nodes[k].threshold);
  }
}

TEST(TreeFitNaNFeatures, NaNValuesGoUpperAndFitsAreDeterministic) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::mt19937 gen(7);
  std::vector<float> values(300 * 3);
  std::vector<float> y(300);
  for (std::size_t k = 0; k < values.size(); ++k) {
    const unsigned pick = gen() % 6;
    values[k] = pick == 0   ? nan
                : pick == 1 ? inf
                : pick == 2 ? -inf
                            : static_cast<float>(gen() % 5);
  }
  for (float& t : y) {
    t = static_cast<float>(gen() % 100);
  }
  const DenseMatrix x = rows(300, 3, values);
  const auto first = fit(x, y, depth_limited(6));
  const auto second = fit(x, y, depth_limited(6));
  ASSERT_EQ(first.nodes.size(), second.nodes.size());
  for (std::size_t k = 0; k < first.nodes.size(); ++k) {
    EXPECT_EQ(first.nodes[k].threshold, second.nodes[k].threshold);
    EXPECT_EQ(first.nodes[k].mean, second.nodes[k].mean);
  }
  // Every row of a column that is NaN everywhere goes upper: no split on it.
  const auto all_nan = fit(rows(4, 1, {nan, nan, nan, nan}), {1, 2, 3, 4});
  expect_single_leaf(all_nan);
}

// Brute-force reference for fitted trees: the rows reaching every node, the best gain over all
// boundaries of all columns, and the mean of every leaf.
struct Reached {
  std::vector<std::vector<std::size_t>> rows_of_node;
};

Reached route_training_rows(const DecisionTreeRegressor& tree, const DenseMatrix& x) {
  Reached reached;
  reached.rows_of_node.resize(tree.nodes.size());
  for (std::size_t r = 0; r < x.nrows; ++r) {
    std::size_t k = 0;
    for (;;) {
      reached.rows_of_node[k].push_back(r);
      const TreeNode& node = tree.nodes[k];
      if (node.is_leaf()) {
        break;
      }
      k = static_cast<double>(x.at(r, node.feature)) <= *node.threshold ? *node.lower_child
                                                                        : *node.upper_child;
    }
  }
  return reached;
}

double best_gain_by_brute_force(const DenseMatrix& x, const std::vector<float>& y,
                                const std::vector<std::size_t>& members) {
  double total = 0.0;
  for (const std::size_t r : members) {
    total += y[r];
  }
  const double n = static_cast<double>(members.size());
  double best = -std::numeric_limits<double>::infinity();
  for (std::size_t j = 0; j < x.ncols; ++j) {
    for (const std::size_t pivot : members) {
      const float cut = x.at(pivot, j);
      double lower_sum = 0.0;
      double lower_n = 0.0;
      for (const std::size_t r : members) {
        if (x.at(r, j) <= cut) {
          lower_sum += y[r];
          lower_n += 1.0;
        }
      }
      if (lower_n == 0.0 || lower_n == n) {
        continue;
      }
      const double upper_sum = total - lower_sum;
      const double gain = lower_sum * lower_sum / lower_n + upper_sum * upper_sum / (n - lower_n) -
                          total * total / n;
      best = std::max(best, gain);
    }
  }
  return best;
}

TEST(TreeFitProperties, RandomTreesMatchABruteForceSearch) {
  std::mt19937 gen(2024);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const std::size_t nrows = 400;
  const std::size_t ncols = 4;
  std::vector<float> values(nrows * ncols);
  std::vector<float> y(nrows);
  for (float& v : values) {
    // Coarse values give many ties inside every column.
    v = std::round(uniform(gen) * 20.0f) / 4.0f;
  }
  for (std::size_t r = 0; r < nrows; ++r) {
    y[r] = values[r * ncols] * 2.0f - values[r * ncols + 2] + 0.1f * uniform(gen);
  }
  const DenseMatrix x = rows(nrows, ncols, values);
  const auto tree = fit(x, y, depth_limited(8));
  ASSERT_GT(tree.nodes.size(), 60u);
  const Reached reached = route_training_rows(tree, x);

  std::vector<std::uint16_t> level(tree.nodes.size(), 0);
  level[0] = 1;
  std::size_t deepest = 0;
  for (std::size_t k = 0; k < tree.nodes.size(); ++k) {
    const TreeNode& node = tree.nodes[k];
    const auto& members = reached.rows_of_node[k];
    ASSERT_FALSE(members.empty());
    double sum = 0.0;
    for (const std::size_t r : members) {
      sum += y[r];
    }
    EXPECT_NEAR(node.mean, sum / static_cast<double>(members.size()), 1e-9) << k;
    if (node.is_leaf()) {
      continue;
    }
    // Children come right after all earlier-created nodes, lower first.
    EXPECT_EQ(*node.upper_child, *node.lower_child + 1);
    EXPECT_GT(*node.lower_child, k);
    level[*node.lower_child] = level[*node.upper_child] = static_cast<std::uint16_t>(level[k] + 1);
    deepest = std::max<std::size_t>(deepest, level[k] + 1);
    EXPECT_NEAR(*node.gain, best_gain_by_brute_force(x, y, members), 1e-7) << k;
  }
  EXPECT_EQ(tree.depth, deepest);
  EXPECT_EQ(tree.depth, 8);

  // Levels 1 to 6 are split wherever a split exists; of level 7 only the first node with a
  // recorded split has children, so level 8 holds exactly two nodes.
  std::size_t level_eight = 0;
  std::size_t first_split_seven = tree.nodes.size();
  for (std::size_t k = 0; k < tree.nodes.size(); ++k) {
    level_eight += level[k] == 8 ? 1 : 0;
    if (level[k] == 7 && tree.nodes[k].gain.has_value() && first_split_seven == tree.nodes.size()) {
      first_split_seven = k;
    }
    if (level[k] <= 6 && reached.rows_of_node[k].size() >= 2 && tree.nodes[k].is_leaf()) {
      EXPECT_FALSE(tree.nodes[k].gain.has_value()) << k;
    }
    if (level[k] == 7 && k != first_split_seven) {
      EXPECT_TRUE(tree.nodes[k].is_leaf()) << k;
    }
  }
  EXPECT_EQ(level_eight, 2u);
  ASSERT_LT(first_split_seven, tree.nodes.size());
  EXPECT_FALSE(tree.nodes[first_split_seven].is_leaf());
}

}  // namespace
}  // namespace tacitor
