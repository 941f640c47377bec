// Tree prediction: routing at the threshold, NaN and absent thresholds, rounding of the leaf
// means, the failures for matrices and trees outside the contract, and many rows walked side
// by side against the one-row walk.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "common/internal_failure.hpp"
#include "tree/decision_tree_regressor.hpp"

namespace tacitor {
namespace {

DenseMatrix rows(std::size_t nrows, std::size_t ncols, std::vector<float> row_major) {
  return DenseMatrix::create(nrows, ncols, std::move(row_major), false).value();
}

TreeNode leaf(double mean) {
  TreeNode node;
  node.mean = mean;
  return node;
}

// Root tests `feature` against `threshold`; leaves 1 (lower) and 2 (upper).
DecisionTreeRegressor stump(std::size_t feature, std::optional<double> threshold, double lower,
                            double upper) {
  DecisionTreeRegressor tree;
  tree.parameters = DecisionTreeRegressorParameters{};
  TreeNode root = leaf(0.5 * (lower + upper));
  root.feature = feature;
  root.threshold = threshold;
  root.gain = 1.0;
  root.lower_child = 1;
  root.upper_child = 2;
  tree.nodes = {root, leaf(lower), leaf(upper)};
  tree.depth = 2;
  return tree;
}

std::vector<float> predict(const DecisionTreeRegressor& tree, const DenseMatrix& x) {
  auto result = tree.predict(x);
  EXPECT_TRUE(result.has_value());
  return result.has_value() ? result.value() : std::vector<float>{};
}

TEST(TreePredictRouting, FittedTwoRowTree) {
  const DenseMatrix train = rows(2, 1, {1, 3});
  const std::vector<float> y{10, 20};
  auto tree = DecisionTreeRegressor::fit(train, VectorView(y), {});
  ASSERT_TRUE(tree.has_value());
  EXPECT_EQ(predict(*tree, rows(3, 1, {1.5f, 2.0f, 2.5f})), (std::vector<float>{10, 10, 20}));
  EXPECT_EQ(predict(*tree, train), y);
}

TEST(TreePredictRouting, ValueEqualToThresholdGoesLower) {
  const auto tree = stump(0, 2.0, -1.0, 1.0);
  EXPECT_EQ(
      predict(tree, rows(3, 1, {std::nextafter(2.0f, 0.0f), 2.0f, std::nextafter(2.0f, 3.0f)})),
      (std::vector<float>{-1, -1, 1}));
}

TEST(TreePredictRouting, ComparisonIsInDoublePrecision) {
  // 1 + 2^-24 is no float, so no float value equals the threshold; the float just above it
  // goes upper, 1.0 goes lower.
  const auto tree = stump(0, 1.0 + std::ldexp(1.0, -24), -1.0, 1.0);
  EXPECT_EQ(predict(tree, rows(2, 1, {1.0f, 1.0f + std::ldexp(1.0f, -23)})),
            (std::vector<float>{-1, 1}));
}

TEST(TreePredictRouting, NaNGoesUpperAtEveryNodeTestingIt) {
  // Root tests column 1, its upper child tests column 1 again, the lower child column 0.
  DecisionTreeRegressor tree;
  tree.parameters = DecisionTreeRegressorParameters{};
  TreeNode root = leaf(0);
  root.feature = 1;
  root.threshold = 0.0;
  root.lower_child = 1;
  root.upper_child = 2;
  TreeNode lower = leaf(0);
  lower.feature = 0;
  lower.threshold = 0.0;
  lower.lower_child = 3;
  lower.upper_child = 4;
  TreeNode upper = leaf(0);
  upper.feature = 1;
  upper.threshold = 5.0;
  upper.lower_child = 5;
  upper.upper_child = 6;
  tree.nodes = {root, lower, upper, leaf(1), leaf(2), leaf(3), leaf(4)};
  tree.depth = 3;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const DenseMatrix x = rows(4, 2, {nan, nan, -1, nan, nan, -1, -1, 1});
  EXPECT_EQ(predict(tree, x), (std::vector<float>{4, 4, 2, 3}));
}

TEST(TreePredictRouting, AbsentThresholdGoesUpper) {
  const auto tree = stump(0, std::nullopt, -1.0, 1.0);
  EXPECT_EQ(predict(tree, rows(2, 1, {-1e30f, 0.0f})), (std::vector<float>{1, 1}));
}

TEST(TreePredictRouting, InfiniteThresholdSendsEverythingButNaNLower) {
  const auto tree = stump(0, std::numeric_limits<double>::infinity(), -1.0, 1.0);
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(predict(tree, rows(3, 1, {inf, -inf, std::numeric_limits<float>::quiet_NaN()})),
            (std::vector<float>{-1, -1, 1}));
}

TEST(TreePredictLeaves, SingleLeafGivesItsMeanToEveryRow) {
  DecisionTreeRegressor tree;
  tree.parameters = DecisionTreeRegressorParameters{};
  tree.nodes = {leaf(0.1)};
  EXPECT_EQ(predict(tree, rows(2, 3, {1, 2, 3, 4, 5, 6})), (std::vector<float>{0.1f, 0.1f}));
  EXPECT_EQ(tree.predict_row(rows(1, 1, {0}), 0), 0.1);
}

TEST(TreePredictLeaves, MeansRoundToNearestEven) {
  // Halfway cases between neighbouring floats: ties go to the even significand.
  const std::vector<std::pair<double, float>> cases{
      {1.0 + std::ldexp(1.0, -24), 1.0f},
      {1.0 + 3 * std::ldexp(1.0, -24), 1.0f + std::ldexp(1.0f, -22)},
      {-(1.0 + 3 * std::ldexp(1.0, -24)), -(1.0f + std::ldexp(1.0f, -22))},
      {1.0 + 1.5 * std::ldexp(1.0, -24), 1.0f + std::ldexp(1.0f, -23)},
      {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()},
      {1e300, std::numeric_limits<float>::infinity()},
  };
  for (const auto& [mean, expected] : cases) {
    DecisionTreeRegressor tree;
    tree.nodes = {leaf(mean)};
    const float got = predict(tree, rows(1, 0, {}))[0];
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(got));
    } else {
      EXPECT_EQ(got, expected) << mean;
    }
  }
}

TEST(TreePredictLeaves, RecordedSplitOfALeafIsIgnored) {
  // The leaf's feature lies outside the matrix; only children make a node internal.
  DecisionTreeRegressor tree;
  TreeNode root = leaf(7.0);
  root.feature = 9;
  root.threshold = 0.0;
  root.gain = 3.0;
  tree.nodes = {root};
  EXPECT_EQ(predict(tree, rows(1, 1, {5})), (std::vector<float>{7}));
}

TEST(TreePredictShapes, ZeroRowsGiveAnEmptyVector) {
  EXPECT_TRUE(predict(stump(0, 0.0, 1, 2), rows(0, 1, {})).empty());
  EXPECT_TRUE(predict(stump(0, 0.0, 1, 2), rows(0, 0, {})).empty());
}

TEST(TreePredictShapes, ColumnMajorMatrixReadsTheSameElements) {
  const auto tree = stump(1, 0.0, -1.0, 1.0);
  // Rows (5, -5) and (-5, 5).
  const DenseMatrix column_major = DenseMatrix::create(2, 2, {5, -5, -5, 5}, true).value();
  EXPECT_EQ(predict(tree, column_major), (std::vector<float>{-1, 1}));
}

TEST(TreePredictShapes, NarrowMatrixIsTheMatrixIndexFailure) {
  const auto tree = stump(1, 0.0, -1.0, 1.0);
  try {
    (void)tree.predict(rows(1, 1, {0}));
    FAIL() << "expected an internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "Invalid index (0,1) for 1x1 matrix");
  }
}

TEST(TreePredictShapes, TreesWithoutNodesOrWithBrokenLinksFailCleanly) {
  DecisionTreeRegressor empty;
  EXPECT_THROW((void)empty.predict(rows(1, 1, {0})), InternalFailure);
  EXPECT_TRUE(predict(empty, rows(0, 1, {})).empty());

  auto dangling = stump(0, 0.0, 1, 2);
  dangling.nodes[0].upper_child = 17;
  EXPECT_THROW((void)dangling.predict(rows(1, 1, {1})), InternalFailure);

  auto cycle = stump(0, 0.0, 1, 2);
  cycle.nodes[0].upper_child = 0;
  EXPECT_THROW((void)cycle.predict(rows(1, 1, {1})), InternalFailure);
}

// Many rows are walked side by side; they must reach the leaves of the one-row walk, in both
// storage orders and with a partial last block of rows.
TEST(TreePredictRows, DeepTreesMatchTheOneRowWalk) {
  std::mt19937 gen(12);
  std::normal_distribution<float> value(0.0f, 1.0f);
  for (const std::size_t nrows : {1u, 7u, 8u, 9u, 301u}) {
    std::vector<float> train(600 * 3);
    std::vector<float> y(600);
    for (float& v : train) {
      v = value(gen);
    }
    for (float& t : y) {
      t = value(gen);
    }
    const auto tree = DecisionTreeRegressor::fit(rows(600, 3, train), VectorView(y), {}).value();
    ASSERT_GE(tree.depth, 8);
    std::vector<float> row_major(nrows * 3);
    for (float& v : row_major) {
      v = value(gen);
    }
    const DenseMatrix x = rows(nrows, 3, row_major);
    const std::vector<float> by_rows = predict(tree, x);
    const std::vector<float> by_columns = predict(tree, x.to_column_major());
    for (std::size_t r = 0; r < nrows; ++r) {
      EXPECT_EQ(by_rows[r], static_cast<float>(tree.predict_row(x, r))) << nrows << " " << r;
      EXPECT_EQ(by_columns[r], by_rows[r]) << nrows << " " << r;
    }
  }
}

// Only trees whose children follow their parent (as fit builds them) are walked side by side;
// others still take the one-row walk.
TEST(TreePredictRows, ChildrenStoredBeforeTheirParentStillRoute) {
  DecisionTreeRegressor tree;
  TreeNode root = leaf(0.0);
  root.threshold = 0.0;
  root.lower_child = 1;
  root.upper_child = 4;
  TreeNode inner = leaf(0.0);
  inner.threshold = 5.0;
  inner.lower_child = 2;
  inner.upper_child = 3;
  tree.nodes = {root, leaf(-1), leaf(1), leaf(2), inner};
  EXPECT_EQ(predict(tree, rows(3, 1, {-1, 1, 9})), (std::vector<float>{-1, 1, 2}));
}

}  // namespace
}  // namespace tacitor
