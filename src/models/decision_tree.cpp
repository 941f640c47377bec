#include "models/decision_tree.hpp"

#include <string>
#include <utility>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"
#include "tree/tree_growth.hpp"

namespace tacitor::models {

namespace {

// The values of window position `position` in training-row order (window by window, series
// by series): the target vector of that position, and column of every other one.
std::vector<float> position_values(const std::vector<data::Window>& windows, std::size_t position) {
  std::size_t nrows = 0;
  for (const data::Window& window : windows) {
    if (position >= window.cols) {
      raise_internal_failure("window position " + std::to_string(position) +
                             " is out of range for windows of width " +
                             std::to_string(window.cols));
    }
    nrows = checked_add(nrows, window.rows);
  }
  std::vector<float> values;
  values.reserve(nrows);
  for (const data::Window& window : windows) {
    for (std::size_t s = 0; s < window.rows; ++s) {
      values.push_back(window(s, position));
    }
  }
  return values;
}

}  // namespace

PositionFitter<DecisionTreeRegressor, DecisionTreeRegressorParameters>::PositionFitter(
    const std::vector<data::Window>& windows) {
  const std::size_t width = windows.empty() ? 0 : windows.front().cols;
  auto sorted = pool::parallel_try_map(
      width, [&](std::size_t position) -> Expected<PresortedColumn, std::string> {
        return presort_column(position_values(windows, position));
      });
  // Sorting has no error result.
  if (!sorted) {
    raise_internal_failure(sorted.error());
  }
  columns_ = std::move(sorted).value();
}

Expected<DecisionTreeRegressor, Failed>
PositionFitter<DecisionTreeRegressor, DecisionTreeRegressorParameters>::fit(
    const std::vector<data::Window>& /*windows*/, std::size_t position,
    const DecisionTreeRegressorParameters& parameters) const {
  if (position >= columns_.size()) {
    raise_internal_failure("window position " + std::to_string(position) +
                           " is out of range for windows of width " +
                           std::to_string(columns_.size()));
  }
  // The targets are the position's own values in row order, which its sorted column keeps.
  const PresortedColumn& targets = columns_[position];
  std::vector<const PresortedColumn*> features;
  features.reserve(columns_.size() - 1);
  for (std::size_t p = 0; p < columns_.size(); ++p) {
    if (p != position) {
      features.push_back(&columns_[p]);
    }
  }
  return grow_tree(features, targets.row_values, parameters);
}

}  // namespace tacitor::models
