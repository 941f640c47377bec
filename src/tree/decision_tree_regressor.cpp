#include "tree/decision_tree_regressor.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <utility>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"
#include "tree/random.hpp"
#include "tree/split_search.hpp"

namespace tacitor {

namespace {

constexpr std::uint16_t kNoDepthLimit = std::numeric_limits<std::uint16_t>::max();

TreeNode new_node(double mean) {
  TreeNode node;
  node.mean = mean;
  return node;
}

SplitTask new_task(std::size_t node, std::vector<std::size_t> counts, std::uint16_t level) {
  SplitTask task;
  task.node = node;
  task.counts = std::move(counts);
  task.level = level;
  return task;
}

void check_values_match_shape(const DenseMatrix& x) {
  if (x.values.size() != checked_mul(x.nrows, x.ncols)) {
    raise_internal_failure("matrix values do not match its shape");
  }
}

// Searches the new task's node and queues the task when the node has a split to apply.
void search_and_enqueue(DecisionTreeRegressor& tree, SplitTask task, const TreeTrainingData& data,
                        Xoshiro128PlusPlus& rng, std::deque<SplitTask>& queue) {
  if (find_best_cutoff(tree, task, data, data.x.ncols, rng)) {
    queue.push_back(std::move(task));
  }
}

// Applies the node's recorded split to its rows, or clears the split when a side would hold
// fewer than min_leaf_count rows. On success the task's counts pass to the upper child.
void split_node(DecisionTreeRegressor& tree, SplitTask& task, const TreeTrainingData& data,
                Xoshiro128PlusPlus& rng, std::deque<SplitTask>& queue) {
  const DenseMatrix& x = data.x;
  const std::size_t nrows = x.nrows;
  const std::size_t feature = tree.nodes[task.node].feature;
  const std::optional<double> threshold = tree.nodes[task.node].threshold;

  std::vector<std::size_t> lower(nrows, 0);
  std::size_t lower_total = 0;
  std::size_t upper_total = 0;
  for (std::size_t i = 0; i < nrows; ++i) {
    const std::size_t c = task.counts[i];
    if (c == 0) {
      continue;
    }
    const auto value = static_cast<double>(x.at(i, feature));
    // NaN compares false and stays on the upper side with the counts left in place.
    if (threshold.has_value() && value <= *threshold) {
      lower[i] = c;
      task.counts[i] = 0;
      lower_total += c;
    } else {
      upper_total += c;
    }
  }

  const std::size_t min_leaf_count =
      tree.parameters.value_or(DecisionTreeRegressorParameters{}).min_leaf_count;
  if (lower_total < min_leaf_count || upper_total < min_leaf_count) {
    TreeNode& node = tree.nodes[task.node];
    node.feature = 0;
    node.threshold.reset();
    node.gain.reset();
    return;
  }

  // Dequeued tasks have level <= depth < depth_limit <= 65535, so the children's level fits.
  if (task.level == std::numeric_limits<std::uint16_t>::max()) {
    raise_internal_failure("tree level exceeds the depth range");
  }
  const auto child_level = static_cast<std::uint16_t>(task.level + 1);
  const std::size_t lower_index = tree.nodes.size();
  const std::size_t upper_index = lower_index + 1;
  tree.nodes.push_back(new_node(task.lower_mean));
  tree.nodes.push_back(new_node(task.upper_mean));
  tree.nodes[task.node].lower_child = lower_index;
  tree.nodes[task.node].upper_child = upper_index;
  tree.depth = std::max(tree.depth, child_level);

  search_and_enqueue(tree, new_task(lower_index, std::move(lower), child_level), data, rng, queue);
  search_and_enqueue(tree, new_task(upper_index, std::move(task.counts), child_level), data, rng,
                     queue);
}

}  // namespace

Expected<DecisionTreeRegressor, Failed> DecisionTreeRegressor::fit(
    const DenseMatrix& x, VectorView y, const DecisionTreeRegressorParameters& parameters) {
  if (x.nrows != y.size()) {
    return unexpected(Failed::fit("Size of x should equal size of y"));
  }
  check_values_match_shape(x);
  const std::size_t nrows = x.nrows;

  std::vector<std::size_t> counts(nrows, 1);
  Xoshiro128PlusPlus rng = get_rng_impl(parameters.random_seed);

  std::size_t n = 0;
  double sum = 0.0;
  for (std::size_t i = 0; i < nrows; ++i) {
    n += counts[i];
    sum += static_cast<double>(counts[i]) * static_cast<double>(y[i]);
  }
  // No rows: the mean of nothing, 0/0.
  const double root_mean =
      n == 0 ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(n);

  const PresortedColumns columns = presort_columns(x);
  const TreeTrainingData data{x, y, columns};

  DecisionTreeRegressor tree;
  tree.parameters = parameters;
  tree.nodes.push_back(new_node(root_mean));
  tree.depth = 0;

  std::deque<SplitTask> queue;
  search_and_enqueue(tree, new_task(0, std::move(counts), 1), data, rng, queue);

  // Breadth first: the depth test is against the whole tree's depth, made once per task.
  const std::uint16_t depth_limit = parameters.depth_limit.value_or(kNoDepthLimit);
  while (tree.depth < depth_limit && !queue.empty()) {
    SplitTask task = std::move(queue.front());
    queue.pop_front();
    split_node(tree, task, data, rng, queue);
  }
  return tree;
}

Expected<std::vector<float>, Failed> DecisionTreeRegressor::predict(const DenseMatrix& x) const {
  check_values_match_shape(x);
  std::vector<float> predictions(x.nrows, 0.0f);
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
