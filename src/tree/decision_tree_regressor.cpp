#include "tree/decision_tree_regressor.hpp"

#include <utility>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"
#include "tree/prediction_layout.hpp"
#include "tree/presorted_column.hpp"
#include "tree/tree_growth.hpp"

namespace tacitor {

namespace {

void check_values_match_shape(const DenseMatrix& x) {
  if (x.values.size() != checked_mul(x.nrows, x.ncols)) {
    raise_internal_failure("matrix values do not match its shape");
  }
}

}  // namespace

Expected<DecisionTreeRegressor, Failed> DecisionTreeRegressor::fit(
    const DenseMatrix& x, VectorView y, const DecisionTreeRegressorParameters& parameters) {
  if (x.nrows != y.size()) {
    return unexpected(Failed::fit("Size of x should equal size of y"));
  }
  check_values_match_shape(x);
  std::vector<float> targets(x.nrows);
  for (std::size_t i = 0; i < x.nrows; ++i) {
    targets[i] = y[i];
  }
  // Every column sorted once; the tree's nodes only walk these orders.
  std::vector<PresortedColumn> columns;
  columns.reserve(x.ncols);
  std::vector<const PresortedColumn*> column_list;
  for (std::size_t j = 0; j < x.ncols; ++j) {
    std::vector<float> values(x.nrows);
    for (std::size_t i = 0; i < x.nrows; ++i) {
      values[i] = x.at(i, j);
    }
    columns.push_back(presort_column(std::move(values)));
  }
  for (const PresortedColumn& column : columns) {
    column_list.push_back(&column);
  }
  return grow_tree(column_list, targets, parameters);
}

Expected<std::vector<float>, Failed> DecisionTreeRegressor::predict(const DenseMatrix& x) const {
  check_values_match_shape(x);
  std::vector<float> predictions(x.nrows, 0.0f);
  if (const std::optional<PredictionLayout> layout = PredictionLayout::of(nodes, x.ncols)) {
    layout->predict(x, predictions.data());
    return predictions;
  }
  // A tree or matrix outside the contract: the checked walk reports the failure at its row.
  for (std::size_t r = 0; r < x.nrows; ++r) {
    predictions[r] = static_cast<float>(predict_row(x, r));
  }
  return predictions;
}

double DecisionTreeRegressor::predict_row(const DenseMatrix& x, std::size_t row) const {
  if (nodes.empty()) {
    raise_internal_failure("the tree has no nodes");
  }
  // A path visits every node at most once; more steps mean the child links are broken.
  std::size_t index = 0;
  for (std::size_t steps = 0; steps < nodes.size(); ++steps) {
    const TreeNode& node = nodes[index];
    if (node.is_leaf()) {
      return node.mean;
    }
    const auto value = static_cast<double>(x.get(row, node.feature));
    const std::optional<std::size_t> next = node.threshold.has_value() && value <= *node.threshold
                                                ? node.lower_child
                                                : node.upper_child;
    if (!next.has_value() || *next >= nodes.size()) {
      raise_internal_failure("the tree's child links are broken");
    }
    index = *next;
  }
  raise_internal_failure("the tree's child links are broken");
}

}  // namespace tacitor
