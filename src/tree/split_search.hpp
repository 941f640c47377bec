#pragma once
// The split search of one tree node: an exhaustive scan over the presorted values of every
// examined column, scoring each boundary between distinct values by the decrease of the
// count-weighted squared error, keeping the first candidate with the highest score.

#include <cstddef>
#include <vector>

#include "linalg/basic/matrix.hpp"
#include "linalg/basic/vector_view.hpp"
#include "tree/decision_tree_regressor.hpp"
#include "tree/random.hpp"

namespace tacitor {

// Every column sorted once per fit: `feature_order[j]` holds the row indices in ascending
// order of column j (as `argsort_mut` orders them) and `sorted_values[j][k]` is
// x(feature_order[j][k], j). Keeping the sorted copy lets the split search read the values in
// sequence instead of gathering them from the matrix row by row.
struct PresortedColumns {
  std::vector<std::vector<std::size_t>> feature_order;
  std::vector<std::vector<float>> sorted_values;
};

PresortedColumns presort_columns(const DenseMatrix& x);

// What every task of one fit reads: the training matrix, the targets and the sorted columns.
struct TreeTrainingData {
  const DenseMatrix& x;
  VectorView y;
  const PresortedColumns& columns;
};

// Records the best split of the task's node (`feature`, `threshold`, `gain` on the node,
// `lower_mean` and `upper_mean` on the task) over the first `feature_budget` columns of the
// candidate list (shuffled with `rng` only when the budget is below the column count).
// Returns whether the node has a recorded split. A node whose total count is below
// `min_split_count` is left untouched.
bool find_best_cutoff(DecisionTreeRegressor& tree, SplitTask& task, const TreeTrainingData& data,
                      std::size_t feature_budget, Xoshiro128PlusPlus& rng);

// Scans column j for the node of `task`, whose total count is n, count-weighted target total
// `node_total` and parent term `parent_term`, and records every candidate better than the
// node's current one.
void scan_feature(DecisionTreeRegressor& tree, SplitTask& task, const TreeTrainingData& data,
                  std::size_t j, std::size_t n, double node_total, double parent_term);

}  // namespace tacitor
