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
#include <span>
#include <vector>

#include "tree/best_split.hpp"
#include "tree/node_statistics.hpp"
#include "tree/presorted_column.hpp"
#include "tree/row_partition.hpp"

namespace tacitor {

// Searches every node of `nodes` over all `columns` in column order and returns the best split
// of each, in the order of `nodes`; `rows[r].slot` is the position in `nodes` of row r's node.
// When `sorted` holds the sorted targets, the walk streams them and looks up each row's slot in
// the narrow slots instead of gathering the row states. Only boundaries with at least
// `min_leaf_count` rows on each side are candidates.
std::vector<BestSplit> search_level(std::span<const NodeStatistics> nodes,
                                    std::span<const PresortedColumn* const> columns,
                                    std::span<const RowState> rows, const SortedRows& sorted,
                                    std::size_t min_leaf_count);

}  // namespace tacitor
