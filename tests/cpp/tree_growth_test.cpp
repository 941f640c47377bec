// The level-wise growth against the plain per-node growth (tree_reference.hpp), bit for bit:
// node for node (mean, feature, threshold, gain, children) and prediction for prediction, on
// random matrices full of ties, signed zeros, NaN and constant columns, under varied limits;
// and the pipeline's shared sorted columns against a reference fit per position, with the
// denoised result against the plain pipeline (plain_pipeline.hpp) around the reference trees.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "common/huge_page_allocator.hpp"
#include "data/array2.hpp"
#include "data/training_set.hpp"
#include "data/windows.hpp"
#include "models/decision_tree.hpp"
#include "plain_pipeline.hpp"
#include "tree/decision_tree_regressor.hpp"
#include "tree/presorted_column.hpp"
#include "tree/row_partition.hpp"
#include "tree/tree_growth.hpp"
#include "tree_reference.hpp"

namespace tacitor {
namespace {

std::uint64_t bits(double value) {
  return std::bit_cast<std::uint64_t>(value);
}

void expect_same_tree(const DecisionTreeRegressor& actual, const DecisionTreeRegressor& expected,
                      const std::string& label) {
  ASSERT_EQ(actual.nodes.size(), expected.nodes.size()) << label;
  EXPECT_EQ(actual.depth, expected.depth) << label;
  for (std::size_t i = 0; i < expected.nodes.size(); ++i) {
    const TreeNode& a = actual.nodes[i];
    const TreeNode& e = expected.nodes[i];
    EXPECT_EQ(bits(a.mean), bits(e.mean)) << label << " node " << i;
    EXPECT_EQ(a.feature, e.feature) << label << " node " << i;
    ASSERT_EQ(a.threshold.has_value(), e.threshold.has_value()) << label << " node " << i;
    if (e.threshold) {
      EXPECT_EQ(bits(*a.threshold), bits(*e.threshold)) << label << " node " << i;
    }
    ASSERT_EQ(a.gain.has_value(), e.gain.has_value()) << label << " node " << i;
    if (e.gain) {
      EXPECT_EQ(bits(*a.gain), bits(*e.gain)) << label << " node " << i;
    }
    EXPECT_EQ(a.lower_child, e.lower_child) << label << " node " << i;
    EXPECT_EQ(a.upper_child, e.upper_child) << label << " node " << i;
  }
}

// Values from a small pool (many ties, both zeros, NaN now and then), or any float.
class ValueSource {
 public:
  explicit ValueSource(std::uint64_t seed) : rng_(seed) {}

  float value(bool with_nan, int distinct) {
    const int pick = std::uniform_int_distribution<int>(0, 99)(rng_);
    if (with_nan && pick < 6) {
      return std::numeric_limits<float>::quiet_NaN();
    }
    if (pick < 12) {
      return pick % 2 == 0 ? 0.0f : -0.0f;
    }
    if (distinct == 0) {
      return std::normal_distribution<float>(0.0f, 3.0f)(rng_);
    }
    return static_cast<float>(std::uniform_int_distribution<int>(-distinct, distinct)(rng_)) *
           0.25f;
  }
  int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(rng_); }

 private:
  std::mt19937_64 rng_;
};

TEST(TreeGrowth, MatchesThePerNodeGrowthOnRandomMatrices) {
  ValueSource source(20261208);
  const std::optional<std::uint16_t> depth_limits[] = {std::nullopt, 0, 1, 2, 3, 5, 8};
  for (int trial = 0; trial < 2500; ++trial) {
    const std::size_t nrows = source.below(8) == 0 ? source.below(3) : 1 + source.below(90);
    const std::size_t ncols = source.below(10) == 0 ? 0 : 1 + source.below(5);
    const bool nan_features = source.below(3) == 0;
    const bool nan_targets = source.below(8) == 0;
    const int distinct = source.below(4) == 0 ? 0 : 1 + source.below(12);
    std::vector<float> values(nrows * ncols);
    for (std::size_t j = 0; j < ncols; ++j) {
      const bool constant = source.below(8) == 0;
      const float fill = source.value(false, distinct);
      for (std::size_t i = 0; i < nrows; ++i) {
        values[i * ncols + j] = constant ? fill : source.value(nan_features, distinct);
      }
    }
    std::vector<float> y(nrows);
    for (float& target : y) {
      target = source.value(nan_targets, source.below(2) == 0 ? 0 : 6);
    }
    DecisionTreeRegressorParameters parameters;
    parameters.depth_limit = depth_limits[source.below(7)];
    parameters.min_leaf_count =
        source.below(3) == 0 ? static_cast<std::size_t>(source.below(5)) : 1;
    parameters.min_split_count =
        source.below(3) == 0 ? static_cast<std::size_t>(source.below(7)) : 2;
    const DenseMatrix x = DenseMatrix::create(nrows, ncols, values, false).value();

    const std::string label = "trial " + std::to_string(trial);
    const DecisionTreeRegressor expected = reference::fit(x, y, parameters);
    const DecisionTreeRegressor actual =
        DecisionTreeRegressor::fit(x, VectorView(y), parameters).value();
    expect_same_tree(actual, expected, label);

    // The walks that gather row states through the sorted order instead of streaming them.
    std::vector<PresortedColumn> columns;
    std::vector<const PresortedColumn*> column_list;
    for (std::size_t j = 0; j < ncols; ++j) {
      std::vector<float> column(nrows);
      for (std::size_t i = 0; i < nrows; ++i) {
        column[i] = values[i * ncols + j];
      }
      columns.push_back(presort_column(std::move(column)));
    }
    for (const PresortedColumn& column : columns) {
      column_list.push_back(&column);
    }
    expect_same_tree(grow_tree(column_list, y, parameters, 0), expected, label + " gathered");
    if (HasFatalFailure() || HasNonfatalFailure()) {
      return;
    }
    const std::vector<float> predicted = actual.predict(x).value();
    for (std::size_t r = 0; r < nrows; ++r) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(predicted[r]),
                std::bit_cast<std::uint32_t>(static_cast<float>(expected.predict_row(x, r))))
          << label << " row " << r;
    }
  }
}

// Depth limits past 8 (two- and four-byte slots in the sorted row states) on matrices large
// enough to reach them, with targets from subnormal to near the float range.
TEST(TreeGrowth, DeepTreesOfExtremeTargetsMatchThePerNodeGrowth) {
  ValueSource source(9);
  const std::uint16_t depth_limits[] = {9, 12, 16, 17};
  const float scales[] = {1e-38f, 1e-20f, 1.0f, 1e20f, 1e37f};
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t nrows = 150 + source.below(250);
    const std::size_t ncols = 1 + source.below(3);
    const int distinct = source.below(3) == 0 ? 0 : 1 + source.below(40);
    std::vector<float> values(nrows * ncols);
    std::vector<std::vector<float>> columns(ncols, std::vector<float>(nrows));
    for (std::size_t i = 0; i < nrows; ++i) {
      for (std::size_t j = 0; j < ncols; ++j) {
        values[i * ncols + j] = columns[j][i] = source.value(trial % 2 == 0, distinct);
      }
    }
    const float scale = scales[source.below(5)];
    std::vector<float> y(nrows);
    for (float& target : y) {
      target = source.value(false, source.below(2) == 0 ? 0 : 3) * scale;
    }
    DecisionTreeRegressorParameters parameters;
    parameters.depth_limit = depth_limits[source.below(4)];
    const DenseMatrix x = DenseMatrix::create(nrows, ncols, values, false).value();
    const DecisionTreeRegressor expected = reference::fit(x, y, parameters);

    std::vector<PresortedColumn> sorted;
    std::vector<const PresortedColumn*> column_list;
    for (std::vector<float>& column : columns) {
      sorted.push_back(presort_column(std::move(column)));
    }
    for (const PresortedColumn& column : sorted) {
      column_list.push_back(&column);
    }
    const std::string label = "trial " + std::to_string(trial);
    expect_same_tree(grow_tree(column_list, y, parameters), expected, label + " streamed");
    expect_same_tree(grow_tree(column_list, y, parameters, 0), expected, label + " gathered");
    if (HasFatalFailure() || HasNonfatalFailure()) {
      return;
    }
  }
}

// Row states of more than one huge page, walked far past the prefetch distance: the gathered
// walks grow the streamed tree, which the tests above hold to the per-node growth.
TEST(TreeGrowth, GatheredWalksOverHugePageRowStatesGrowTheStreamedTree) {
  ValueSource source(5);
  const std::size_t nrows = (kHugePageBytes / sizeof(RowState)) + 4099;
  // Targets that follow both columns, so that the tree grows on either side of every split.
  std::vector<float> y(nrows);
  std::vector<PresortedColumn> sorted;
  for (const int distinct : {0, 30}) {
    std::vector<float> column(nrows);
    for (std::size_t r = 0; r < nrows; ++r) {
      column[r] = source.value(false, distinct);
      y[r] += column[r];
    }
    sorted.push_back(presort_column(std::move(column)));
  }
  const std::vector<const PresortedColumn*> column_list = {&sorted[0], &sorted[1]};
  DecisionTreeRegressorParameters parameters;
  parameters.depth_limit = 8;
  const DecisionTreeRegressor streamed = grow_tree(column_list, y, parameters);
  ASSERT_EQ(streamed.depth, 8);
  expect_same_tree(grow_tree(column_list, y, parameters, 0), streamed, "gathered");
}

TEST(TreeGrowth, ModelSetGrowsTheReferenceTreesAndDenoisesLikeThePlainPipeline) {
  ValueSource source(77);
  struct Shape {
    std::size_t series, length, window, stride;
  };
  // The last one has more training rows than a tree of depth 8 has leaves.
  const Shape shapes[] = {{1, 9, 1, 1},  {3, 20, 4, 1},  {5, 40, 5, 2}, {12, 60, 4, 1},
                          {2, 33, 8, 3}, {4, 12, 12, 5}, {7, 30, 3, 7}};
  for (const Shape& shape : shapes) {
    data::Array2 samples(shape.series, shape.length);
    for (std::size_t i = 0; i < shape.series * shape.length; ++i) {
      // No NaN: the model set refuses non-finite samples before any fit (the per-fit
      // comparison above covers NaN).
      samples.data()[i] = source.value(false, 6);
    }
    DecisionTreeRegressorParameters parameters;
    parameters.depth_limit = 8;
    const auto model = models::DTModel::train(samples, shape.window, shape.stride, parameters);
    ASSERT_TRUE(model.has_value());
    const auto plan = data::create_windows(samples, shape.window, shape.stride).value();
    for (std::size_t position = 0; position < shape.window; ++position) {
      data::TrainingSet set = data::windows_to_train(plan.windows, position);
      const DenseMatrix x = data::to_dense_matrix(std::move(set.features));
      expect_same_tree(
          model->estimators[position], reference::fit(x, set.targets, parameters),
          "window " + std::to_string(shape.window) + " position " + std::to_string(position));
    }
    // And the whole denoising run: the plain pipeline with the reference trees.
    const data::Array2 expected = testing::plain_denoise(
        samples, shape.window, shape.stride,
        [&](const DenseMatrix& x, const std::vector<float>& y) {
          const DecisionTreeRegressor tree = reference::fit(x, y, parameters);
          std::vector<float> predictions(x.nrows);
          for (std::size_t r = 0; r < x.nrows; ++r) {
            predictions[r] = static_cast<float>(tree.predict_row(x, r));
          }
          return predictions;
        });
    const data::Array2 denoised = model->denoise(samples, shape.stride).value();
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(expected.data()[i]),
                std::bit_cast<std::uint32_t>(denoised.data()[i]))
          << "window " << shape.window << " element " << i;
    }
  }
}

}  // namespace
}  // namespace tacitor
