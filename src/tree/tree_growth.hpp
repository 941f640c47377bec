#pragma once
// Growing a regression tree breadth-first, one level at a time.
//
// All nodes of a level are searched together (search_level), then the level's nodes with a
// split are taken in queue order, which is node order: each split is applied unless a side
// would hold fewer than min_leaf_count rows, and growth stops at the first split taken once the
// tree's depth has reached the limit. The children of the splits made form the next level.
// Growing needs, per training row, a slot and its target (8 bytes), one bit for the side of the
// split, and the presorted columns, which it only reads.
//
// The pieces: a node's impurity statistics (node_statistics.hpp), the split search and its
// result (level_search.hpp, best_split.hpp), and the rows' membership in the level's nodes
// (row_partition.hpp); this file takes the splits and builds the tree.

#include <cstddef>
#include <span>

#include "tree/decision_tree_regressor.hpp"
#include "tree/presorted_column.hpp"

namespace tacitor {

// Bytes a fit may spend on keeping its targets in every column's sorted order (with one narrow
// copy of the slots), counted at 8 bytes per row and column although they take 4, so that no
// fit keeps them where an earlier, wider layout did not; above it the walks gather the row
// states through the sorted order instead. The two give the same tree; streaming is faster when the
// states do not fit in the cache. Every busy worker holds its own copies, so above this size they
// would outweigh everything else a call holds: with a million training rows and 15 features, 120
// MiB per fit made the call's peak 517 MiB against 277 MiB gathering, for about a tenth more time.
inline constexpr std::size_t kSortedStateBudget = std::size_t{64} << 20;

// Grows the tree of `targets` (one per row) over `columns` (feature j is columns[j], each with
// one entry per row).
DecisionTreeRegressor grow_tree(std::span<const PresortedColumn* const> columns,
                                std::span<const float> targets,
                                const DecisionTreeRegressorParameters& parameters,
                                std::size_t sorted_state_budget = kSortedStateBudget);

}  // namespace tacitor
