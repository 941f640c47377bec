#pragma once
// Growing a regression tree breadth-first, one level at a time.
//
// All nodes of a level are searched together (search_level), then the level's nodes with a
// split are taken in queue order, which is node order: each split is applied unless a side
// would hold fewer than min_leaf_count rows, and growth stops at the first split taken once the
// tree's depth has reached the limit. The children of the splits made form the next level.
// Growing needs, per training row, a slot and its target (8 bytes), one bit for the side of the
// split, and the presorted columns, which it only reads.

#include <span>

#include "tree/decision_tree_regressor.hpp"
#include "tree/presorted_column.hpp"

namespace tacitor {

// Grows the tree of `targets` (one per row) over `columns` (feature j is columns[j], each with
// one entry per row).
DecisionTreeRegressor grow_tree(std::span<const PresortedColumn* const> columns,
                                std::span<const float> targets,
                                const DecisionTreeRegressorParameters& parameters);

}  // namespace tacitor
