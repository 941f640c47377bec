#include "tree/tree_growth.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "tree/best_split.hpp"
#include "tree/level_search.hpp"
#include "tree/node_statistics.hpp"
#include "tree/row_partition.hpp"

namespace tacitor {

namespace {

constexpr std::uint16_t kNoDepthLimit = std::numeric_limits<std::uint16_t>::max();

TreeNode new_node(double mean) {
  TreeNode node;
  node.mean = mean;
  return node;
}

// Row indices are 32-bit, and every column must hold one entry per row.
void check_columns(std::span<const PresortedColumn* const> columns, std::size_t nrows) {
  if (nrows > std::numeric_limits<TreeRow>::max()) {
    throw std::bad_alloc();
  }
  for (const PresortedColumn* column : columns) {
    if (column->size() != nrows || column->values.size() != nrows ||
        column->row_values.size() != nrows) {
      raise_internal_failure("a presorted column does not match the target count");
    }
  }
}

// Every row counts once; sum in row order from +0.0. No rows: the mean of nothing, 0/0.
double root_mean(std::span<const float> targets) {
  double sum = 0.0;
  for (const float y : targets) {
    sum += static_cast<double>(y);
  }
  return targets.empty() ? std::numeric_limits<double>::quiet_NaN()
                         : sum / static_cast<double>(targets.size());
}

// Writes the level's best splits onto their nodes; true when any node has one.
bool record_splits(DecisionTreeRegressor& tree, std::span<const NodeStatistics> level,
                   std::span<const BestSplit> splits) {
  bool any_split = false;
  for (std::size_t slot = 0; slot < level.size(); ++slot) {
    const BestSplit& split = splits[slot];
    if (split.found) {
      TreeNode& node = tree.nodes[level[slot].node];
      node.feature = split.feature;
      node.threshold = split.threshold;
      node.gain = split.gain;
      any_split = true;
    }
  }
  return any_split;
}

// Takes the level's recorded splits in node order and returns the next level: a split whose
// side holds fewer than min_leaf_count rows is cleared from its node, every other one gets
// two children, and the children with at least min_split_count rows are searched next. The
// depth test is made against the whole tree's depth before every split taken, so growth stops
// at the first split taken once the depth has reached the limit. `children` receives each
// slot's child slots.
std::vector<NodeStatistics> take_splits(DecisionTreeRegressor& tree,
                                        std::span<const NodeStatistics> level,
                                        std::span<const BestSplit> splits, const SideCounts& sides,
                                        std::uint16_t level_number,
                                        const DecisionTreeRegressorParameters& parameters,
                                        ChildSlots& children) {
  const std::uint16_t depth_limit = parameters.depth_limit.value_or(kNoDepthLimit);
  std::vector<NodeStatistics> next;
  children.lower.assign(level.size(), kNoSlot);
  children.upper.assign(level.size(), kNoSlot);
  for (std::size_t slot = 0; slot < level.size(); ++slot) {
    const BestSplit& split = splits[slot];
    if (!split.found) {
      continue;
    }
    if (tree.depth >= depth_limit) {
      break;
    }
    TreeNode& node = tree.nodes[level[slot].node];
    const std::size_t lower_count = sides.lower[slot];
    const std::size_t upper_count = sides.upper[slot];
    if (lower_count < parameters.min_leaf_count || upper_count < parameters.min_leaf_count) {
      node.feature = 0;
      node.threshold.reset();
      node.gain.reset();
      continue;
    }
    // A split is taken only while depth < depth_limit <= 65535, and depth >= the level.
    if (level_number == std::numeric_limits<std::uint16_t>::max()) {
      raise_internal_failure("tree level exceeds the depth range");
    }
    const auto child_level = static_cast<std::uint16_t>(level_number + 1);
    const std::size_t lower_index = tree.nodes.size();
    const std::size_t upper_index = lower_index + 1;
    node.lower_child = lower_index;
    node.upper_child = upper_index;
    tree.nodes.push_back(new_node(split.lower_mean));
    tree.nodes.push_back(new_node(split.upper_mean));
    tree.depth = std::max(tree.depth, child_level);
    if (lower_count >= parameters.min_split_count) {
      children.lower[slot] = static_cast<TreeRow>(next.size());
      next.push_back(node_statistics(lower_index, lower_count, split.lower_mean));
    }
    if (upper_count >= parameters.min_split_count) {
      children.upper[slot] = static_cast<TreeRow>(next.size());
      next.push_back(node_statistics(upper_index, upper_count, split.upper_mean));
    }
  }
  return next;
}

}  // namespace

DecisionTreeRegressor grow_tree(std::span<const PresortedColumn* const> columns,
                                std::span<const float> targets,
                                const DecisionTreeRegressorParameters& parameters,
                                std::size_t sorted_state_budget) {
  const std::size_t nrows = targets.size();
  check_columns(columns, nrows);

  DecisionTreeRegressor tree;
  tree.parameters = parameters;
  tree.nodes.push_back(new_node(root_mean(targets)));
  tree.depth = 0;
  const std::uint16_t depth_limit = parameters.depth_limit.value_or(kNoDepthLimit);

  // Nodes with fewer than min_split_count rows are never searched; their rows drop out.
  std::vector<NodeStatistics> level;
  if (nrows >= parameters.min_split_count) {
    level.push_back(node_statistics(0, nrows, tree.nodes[0].mean));
  }
  RowPartition partition(columns, targets, !level.empty(), sorted_state_budget,
                         narrow_slot_bytes(parameters.depth_limit));
  SideCounts sides;
  ChildSlots children;
  for (std::uint16_t level_number = 1; !level.empty(); ++level_number) {
    const std::vector<BestSplit> splits = search_level(
        level, columns, partition.rows(), partition.sorted_rows(), parameters.min_leaf_count);
    if (!record_splits(tree, level, splits) || tree.depth >= depth_limit) {
      break;
    }
    throw_if_cancelled();
    partition.count_sides(splits, level, sides);
    std::vector<NodeStatistics> next =
        take_splits(tree, level, splits, sides, level_number, parameters, children);
    partition.move_rows(children);
    level = std::move(next);
  }
  return tree;
}

}  // namespace tacitor
