#pragma once
// The split search of all nodes of one tree level at once.
//
// Every presorted column is walked once per level. Each row's contribution goes to the node of
// the level that the row belongs to (its slot), so every node still sees exactly its own rows in
// presorted order: its sums, boundaries and tie-breaks are those of a walk over the node alone.
// A node scores each boundary between distinct values by the decrease of the squared error and
// keeps the first candidate with the highest score; the best one carries over from column to
// column.

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "tree/presorted_column.hpp"

namespace tacitor {

// What a fit keeps per training row: the slot of the searched node the row belongs to in the
// current level (kNoSlot when its node is not searched) and the row's target, side by side so
// that the walk's one random access per row fetches both.
struct RowState {
  TreeRow slot;
  float target;
};
inline constexpr TreeRow kNoSlot = std::numeric_limits<TreeRow>::max();

// One node being searched.
struct LevelNode {
  // Index in the tree's nodes.
  std::size_t node = 0;
  // Rows of the node; node_total = mean * count and parent_term = (count * mean) * mean.
  std::size_t count = 0;
  double node_total = 0.0;
  double parent_term = 0.0;

  // The walk over the current column: rows passed so far form the lower side of the next
  // boundary; `previous` is valid once lower_count > 0.
  std::size_t lower_count = 0;
  double lower_sum = 0.0;
  float previous = 0.0f;

  // The best candidate so far.
  bool has_best = false;
  std::size_t feature = 0;
  double gain = 0.0;
  double threshold = 0.0;
  double lower_mean = 0.0;
  double upper_mean = 0.0;
};

// A node of `count` rows whose stored mean is `mean`, with no candidate yet.
LevelNode level_node(std::size_t node, std::size_t count, double mean);

// Searches every node of `nodes` over all `columns` in column order; `rows[r].slot` is the
// position in `nodes` of row r's node. `sorted_rows`, when not empty, holds per column the same
// row states in the column's sorted order (sorted_rows[j][k] = rows[order[k]] of column j), which
// the walk then streams instead of gathering. Only boundaries with at least `min_leaf_count`
// rows on each side are candidates.
void search_level(std::vector<LevelNode>& nodes, std::span<const PresortedColumn* const> columns,
                  std::span<const RowState> rows,
                  std::span<const std::vector<RowState>> sorted_rows, std::size_t min_leaf_count);

}  // namespace tacitor
