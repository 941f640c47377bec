#pragma once
// The plain per-node tree growth, kept as the reference the level-wise engine must match bit
// for bit: every queued node owns a vector of per-row counts, its search walks every column's
// full sorted order and skips the rows whose count is 0, and its split walks all rows.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "tree/argsort.hpp"
#include "tree/decision_tree_regressor.hpp"

namespace tacitor::reference {

struct Task {
  double lower_mean = 0.0;
  double upper_mean = 0.0;
  std::size_t node = 0;
  std::vector<std::size_t> counts;
  std::uint16_t level = 0;
};

struct Data {
  const DenseMatrix& x;
  const std::vector<float>& y;
  std::vector<std::vector<std::size_t>> order;
};

inline void scan_feature(DecisionTreeRegressor& tree, Task& task, const Data& data, std::size_t j,
                         std::size_t n, double total, double parent) {
  const std::size_t min_leaf = tree.parameters->min_leaf_count;
  TreeNode& node = tree.nodes[task.node];
  std::size_t lower_count = 0;
  double lower_sum = 0.0;
  std::optional<float> previous;
  for (const std::size_t i : data.order[j]) {
    const std::size_t c = task.counts[i];
    if (c == 0) {
      continue;
    }
    const float v = data.x.at(i, j);
    if (previous.has_value() && !(v == *previous)) {
      const std::size_t upper_count = n - lower_count;
      if (lower_count >= min_leaf && upper_count >= min_leaf) {
        const auto ln = static_cast<double>(lower_count);
        const auto un = static_cast<double>(upper_count);
        const double upper_mean = (total - lower_sum) / un;
        const double lower_mean = lower_sum / ln;
        const double gain =
            ((ln * lower_mean) * lower_mean + (un * upper_mean) * upper_mean) - parent;
        if (!node.gain.has_value() || gain > *node.gain) {
          node.feature = j;
          node.threshold = static_cast<double>(*previous + v) * 0.5;
          node.gain = gain;
          task.lower_mean = lower_mean;
          task.upper_mean = upper_mean;
        }
      }
    }
    lower_count += c;
    lower_sum += static_cast<double>(c) * static_cast<double>(data.y[i]);
    previous = v;
  }
}

inline bool find_best_cutoff(DecisionTreeRegressor& tree, Task& task, const Data& data) {
  std::size_t n = 0;
  for (const std::size_t c : task.counts) {
    n += c;
  }
  if (n < tree.parameters->min_split_count) {
    return false;
  }
  const double mean = tree.nodes[task.node].mean;
  const auto count = static_cast<double>(n);
  const double total = mean * count;
  const double parent = (count * mean) * mean;
  for (std::size_t j = 0; j < data.x.ncols; ++j) {
    scan_feature(tree, task, data, j, n, total, parent);
  }
  return tree.nodes[task.node].gain.has_value();
}

inline TreeNode node_with_mean(double mean) {
  TreeNode node;
  node.mean = mean;
  return node;
}

inline DecisionTreeRegressor fit(const DenseMatrix& x, const std::vector<float>& y,
                                 const DecisionTreeRegressorParameters& parameters) {
  const std::size_t nrows = x.nrows;
  Data data{x, y, {}};
  for (std::size_t j = 0; j < x.ncols; ++j) {
    std::vector<float> values(nrows);
    for (std::size_t i = 0; i < nrows; ++i) {
      values[i] = x.at(i, j);
    }
    std::vector<std::size_t> order;
    for (const auto& pair : argsort_pairs(values)) {
      order.push_back(pair.index);
    }
    data.order.push_back(std::move(order));
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < nrows; ++i) {
    sum += 1.0 * static_cast<double>(y[i]);
  }
  DecisionTreeRegressor tree;
  tree.parameters = parameters;
  tree.nodes.push_back(node_with_mean(nrows == 0 ? std::numeric_limits<double>::quiet_NaN()
                                                 : sum / static_cast<double>(nrows)));
  std::deque<Task> queue;
  auto search_and_enqueue = [&](Task task) {
    if (find_best_cutoff(tree, task, data)) {
      queue.push_back(std::move(task));
    }
  };
  search_and_enqueue(Task{0.0, 0.0, 0, std::vector<std::size_t>(nrows, 1), 1});
  const std::uint16_t limit = parameters.depth_limit.value_or(65535);
  while (tree.depth < limit && !queue.empty()) {
    Task task = std::move(queue.front());
    queue.pop_front();
    const TreeNode split = tree.nodes[task.node];
    std::vector<std::size_t> lower(nrows, 0);
    std::size_t lower_total = 0;
    std::size_t upper_total = 0;
    for (std::size_t i = 0; i < nrows; ++i) {
      const std::size_t c = task.counts[i];
      if (c == 0) {
        continue;
      }
      if (split.threshold.has_value() &&
          static_cast<double>(x.at(i, split.feature)) <= *split.threshold) {
        lower[i] = c;
        task.counts[i] = 0;
        lower_total += c;
      } else {
        upper_total += c;
      }
    }
    if (lower_total < parameters.min_leaf_count || upper_total < parameters.min_leaf_count) {
      tree.nodes[task.node].feature = 0;
      tree.nodes[task.node].threshold.reset();
      tree.nodes[task.node].gain.reset();
      continue;
    }
    const auto level = static_cast<std::uint16_t>(task.level + 1);
    const std::size_t lower_index = tree.nodes.size();
    tree.nodes.push_back(node_with_mean(task.lower_mean));
    tree.nodes.push_back(node_with_mean(task.upper_mean));
    tree.nodes[task.node].lower_child = lower_index;
    tree.nodes[task.node].upper_child = lower_index + 1;
    tree.depth = std::max(tree.depth, level);
    search_and_enqueue(Task{0.0, 0.0, lower_index, std::move(lower), level});
    search_and_enqueue(Task{0.0, 0.0, lower_index + 1, std::move(task.counts), level});
  }
  return tree;
}

}  // namespace tacitor::reference
