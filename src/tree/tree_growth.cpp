#include "tree/tree_growth.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "tree/level_search.hpp"

namespace tacitor {

namespace {

constexpr std::uint16_t kNoDepthLimit = std::numeric_limits<std::uint16_t>::max();

TreeNode new_node(double mean) {
  TreeNode node;
  node.mean = mean;
  return node;
}

// The side of the level's recorded split that row r goes to: lower when its value in the
// split's feature, widened to double, is less than or equal to the threshold (NaN never is).
// One bit per row: set when the row goes to the lower child of its node's split.
class RowBits {
 public:
  explicit RowBits(std::size_t nrows) : words_((nrows + 63) / 64, 0) {}
  void clear() { std::fill(words_.begin(), words_.end(), 0); }
  void set(std::size_t r) { words_[r / 64] |= std::uint64_t{1} << (r % 64); }
  bool test(std::size_t r) const { return ((words_[r / 64] >> (r % 64)) & 1U) != 0; }

 private:
  std::vector<std::uint64_t> words_;
};

bool goes_lower(const LevelNode& node, std::span<const PresortedColumn* const> columns,
                std::size_t r) {
  return static_cast<double>(columns[node.feature]->row_values[r]) <= node.threshold;
}

}  // namespace

DecisionTreeRegressor grow_tree(std::span<const PresortedColumn* const> columns,
                                std::span<const float> targets,
                                const DecisionTreeRegressorParameters& parameters,
                                std::size_t sorted_state_budget) {
  const std::size_t nrows = targets.size();
  if (nrows > std::numeric_limits<TreeRow>::max()) {
    throw std::bad_alloc();
  }
  for (const PresortedColumn* column : columns) {
    if (column->size() != nrows || column->values.size() != nrows ||
        column->row_values.size() != nrows) {
      raise_internal_failure("a presorted column does not match the target count");
    }
  }

  // Every row counts once; sum in row order from +0.0. No rows: the mean of nothing, 0/0.
  double sum = 0.0;
  for (const float y : targets) {
    sum += static_cast<double>(y);
  }
  const double root_mean =
      nrows == 0 ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(nrows);

  DecisionTreeRegressor tree;
  tree.parameters = parameters;
  tree.nodes.push_back(new_node(root_mean));
  tree.depth = 0;

  const std::size_t min_leaf_count = parameters.min_leaf_count;
  const std::size_t min_split_count = parameters.min_split_count;
  const std::uint16_t depth_limit = parameters.depth_limit.value_or(kNoDepthLimit);

  // Nodes with fewer than min_split_count rows are never searched; their rows drop out.
  std::vector<LevelNode> level;
  const bool root_searched = nrows >= min_split_count;
  if (root_searched) {
    level.push_back(level_node(0, nrows, root_mean));
  }
  std::vector<RowState> rows(nrows);
  for (std::size_t r = 0; r < nrows; ++r) {
    rows[r] = RowState{root_searched ? TreeRow{0} : kNoSlot, targets[r]};
  }

  std::vector<std::size_t> lower_totals;
  std::vector<std::size_t> upper_totals;
  std::vector<TreeRow> lower_slots;
  std::vector<TreeRow> upper_slots;

  // The row states in every column's sorted order, when they fit the budget: the walks then
  // stream through memory, and a level's moves cost one lookup of a row's side bit per entry.
  std::vector<std::vector<RowState>> sorted_rows;
  const bool streamed = !level.empty() && !columns.empty() &&
                        nrows <= sorted_state_budget / sizeof(RowState) / columns.size();
  RowBits lower_rows(streamed ? nrows : 0);
  if (streamed) {
    sorted_rows.resize(columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      sorted_rows[j].resize(nrows);
      for (std::size_t k = 0; k < nrows; ++k) {
        sorted_rows[j][k] = rows[columns[j]->order[k]];
      }
    }
  }
  std::uint16_t level_number = 1;
  while (!level.empty()) {
    search_level(level, columns, rows, sorted_rows, min_leaf_count);
    bool any_split = false;
    for (const LevelNode& searched : level) {
      if (searched.has_best) {
        TreeNode& node = tree.nodes[searched.node];
        node.feature = searched.feature;
        node.threshold = searched.threshold;
        node.gain = searched.gain;
        any_split = true;
      }
    }
    // The depth test is made against the whole tree's depth before every split taken.
    if (!any_split || tree.depth >= depth_limit) {
      break;
    }

    // Rows per side of every recorded split, in one pass over the rows.
    throw_if_cancelled();
    lower_totals.assign(level.size(), 0);
    upper_totals.assign(level.size(), 0);
    for (std::size_t r = 0; r < nrows; ++r) {
      const TreeRow slot = rows[r].slot;
      if (slot != kNoSlot && level[slot].has_best) {
        ++(goes_lower(level[slot], columns, r) ? lower_totals : upper_totals)[slot];
      }
    }
    std::vector<LevelNode> next;
    lower_slots.assign(level.size(), kNoSlot);
    upper_slots.assign(level.size(), kNoSlot);
    for (std::size_t slot = 0; slot < level.size(); ++slot) {
      const LevelNode& searched = level[slot];
      if (!searched.has_best) {
        continue;
      }
      if (tree.depth >= depth_limit) {
        break;
      }
      if (lower_totals[slot] < min_leaf_count || upper_totals[slot] < min_leaf_count) {
        TreeNode& node = tree.nodes[searched.node];
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
      tree.nodes.push_back(new_node(searched.lower_mean));
      tree.nodes.push_back(new_node(searched.upper_mean));
      tree.nodes[searched.node].lower_child = lower_index;
      tree.nodes[searched.node].upper_child = upper_index;
      tree.depth = std::max(tree.depth, child_level);
      if (lower_totals[slot] >= min_split_count) {
        lower_slots[slot] = static_cast<TreeRow>(next.size());
        next.push_back(level_node(lower_index, lower_totals[slot], searched.lower_mean));
      }
      if (upper_totals[slot] >= min_split_count) {
        upper_slots[slot] = static_cast<TreeRow>(next.size());
        next.push_back(level_node(upper_index, upper_totals[slot], searched.upper_mean));
      }
    }

    // Rows of the splits taken move to their child's slot; all others drop out.
    if (streamed) {
      lower_rows.clear();
    }
    for (std::size_t r = 0; r < nrows; ++r) {
      const TreeRow slot = rows[r].slot;
      if (slot == kNoSlot) {
        continue;
      }
      if (lower_slots[slot] == kNoSlot && upper_slots[slot] == kNoSlot) {
        rows[r].slot = kNoSlot;
      } else if (goes_lower(level[slot], columns, r)) {
        rows[r].slot = lower_slots[slot];
        if (streamed) {
          lower_rows.set(r);
        }
      } else {
        rows[r].slot = upper_slots[slot];
      }
    }
    for (std::size_t j = 0; j < sorted_rows.size(); ++j) {
      throw_if_cancelled();
      const TreeRow* order = columns[j]->order.data();
      for (std::size_t k = 0; k < nrows; ++k) {
        RowState& state = sorted_rows[j][k];
        if (state.slot != kNoSlot) {
          state.slot =
              lower_rows.test(order[k]) ? lower_slots[state.slot] : upper_slots[state.slot];
        }
      }
    }
    level = std::move(next);
    ++level_number;
  }
  return tree;
}

}  // namespace tacitor
