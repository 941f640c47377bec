#pragma once
// A fitted tree laid out for predicting many rows: one compact record per node, leaves that
// lead to themselves, and rows walked side by side without branches.
//
// Every row takes the same number of steps, the tree's longest path: a row that reaches a leaf
// early stays there (a leaf's threshold is NaN, so its comparison fails and sends the row to
// its upper child, which is the leaf itself). A step reads the tested value, compares it in
// double precision with the threshold (value <= threshold goes lower; an absent threshold is
// NaN and goes upper) and picks the child by the comparison's outcome, exactly as the checked
// walk of DecisionTreeRegressor::predict_row does. So the rows' walks are independent chains of
// loads that overlap, and the result is the same leaf, bit for bit.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "linalg/basic/matrix.hpp"
#include "tree/decision_tree_regressor.hpp"

namespace tacitor {

class PredictionLayout {
 public:
  // The layout of `nodes` for matrices of `ncols` columns, or nothing when a walk could meet
  // what the checked walk reports as a failure: no nodes, a split node without both children,
  // a child that is not created after its parent, or a tested column of `ncols` or more.
  static std::optional<PredictionLayout> of(const std::vector<TreeNode>& nodes, std::size_t ncols);

  // out[r] = the leaf mean, rounded to float, that row r of `x` reaches; x has the `ncols` the
  // layout was made for.
  void predict(const DenseMatrix& x, float* out) const;

 private:
  struct Step {
    double threshold;
    std::uint32_t feature;
    // [0] when value <= threshold, [1] otherwise.
    std::uint32_t child[2];
  };
  std::vector<Step> steps_;
  std::vector<float> means_;
  // Edges on the longest path from the root.
  std::size_t depth_ = 0;
};

}  // namespace tacitor
