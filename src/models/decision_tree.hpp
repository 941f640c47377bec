#pragma once
// DTModel: the model set of regression trees.
//
// The trees of one call share their sorted columns. Column j of position i's feature matrix is
// window position j (j < i) or j + 1 (j >= i), and a window position holds the same values in
// the same training-row order in every feature matrix that includes it. So every window
// position is sorted once per call, and each position's tree walks the sorted columns of the
// other positions: w sorts instead of w * (w - 1), and no feature matrix is built for the fits.

#include <cstddef>
#include <vector>

#include "models/classical.hpp"
#include "tree/decision_tree_regressor.hpp"
#include "tree/presorted_column.hpp"

namespace tacitor::models {

template <>
class PositionFitter<DecisionTreeRegressor, DecisionTreeRegressorParameters> {
 public:
  // Sorts the values of every window position, the positions in parallel on the pool.
  explicit PositionFitter(const std::vector<data::Window>& windows);

  // The tree of `position`: targets are the window position's values, features the other
  // positions' sorted columns in position order.
  Expected<DecisionTreeRegressor, Failed> fit(
      const std::vector<data::Window>& windows, std::size_t position,
      const DecisionTreeRegressorParameters& parameters) const;

 private:
  // One per window position.
  std::vector<PresortedColumn> columns_;
};

using DTModel = Classical<DecisionTreeRegressor, DecisionTreeRegressorParameters>;

}  // namespace tacitor::models
