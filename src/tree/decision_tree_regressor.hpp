#pragma once
// DecisionTreeRegressor: a binary regression tree grown breadth-first.
//
// Every internal node tests one column against a threshold (values <= threshold go to the
// lower child, everything else, NaN included, to the upper child); every node carries the
// count-weighted mean target of the training rows that reached it. Statistics are computed in
// double precision from single-precision inputs, in a fixed order, so a fit is reproducible to
// the last bit.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"
#include "linalg/basic/matrix.hpp"
#include "linalg/basic/vector_view.hpp"

namespace tacitor {

struct DecisionTreeRegressorParameters {
  // Growth stops once the tree's depth reaches this value; absent means 65535.
  std::optional<std::uint16_t> depth_limit;
  // Smallest total count allowed on each side of a split.
  std::size_t min_leaf_count = 1;
  // Smallest total count a node must hold to be searched for a split.
  std::size_t min_split_count = 2;
  // Seed of a random generator; absent means 0. Kept in the record, but fit never draws a
  // number (every split search examines all columns in order), so no generator is made.
  std::optional<std::uint64_t> random_seed;
};

struct TreeNode {
  // Count-weighted mean target of the node's rows, fixed when the node is created.
  double mean = 0.0;
  // Column tested by the recorded split; 0 when none is recorded.
  std::size_t feature = 0;
  std::optional<double> threshold;
  // Score of the recorded split; present exactly when a split is recorded.
  std::optional<double> gain;
  std::optional<std::size_t> lower_child;
  std::optional<std::size_t> upper_child;

  bool is_leaf() const noexcept { return !lower_child.has_value() && !upper_child.has_value(); }
};

class DecisionTreeRegressor {
 public:
  // Copy of the parameters given to `fit`; always present in a fitted tree.
  std::optional<DecisionTreeRegressorParameters> parameters;
  // Index 0 is the root; children are appended in creation order.
  std::vector<TreeNode> nodes;
  // 0 until the first accepted split, afterwards the largest level of any child created.
  std::uint16_t depth = 0;

  // Fails with FitFailed "Size of x should equal size of y" when x.nrows != y.size(); any
  // other input yields a tree (in the extreme a single leaf).
  static Expected<DecisionTreeRegressor, Failed> fit(
      const DenseMatrix& x, VectorView y, const DecisionTreeRegressorParameters& parameters);

  // One value per row of x: the mean of the leaf the row reaches, rounded to float.
  Expected<std::vector<float>, Failed> predict(const DenseMatrix& x) const;

  // The leaf mean that row `row` of x reaches. x must have at least as many columns as the
  // tree's tested features; a narrower matrix raises the matrix's invalid-index failure.
  double predict_row(const DenseMatrix& x, std::size_t row) const;
};

}  // namespace tacitor
