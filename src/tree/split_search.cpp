#include "tree/split_search.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/checked_size.hpp"
#include "pool/cancellation.hpp"
#include "tree/argsort.hpp"

namespace tacitor {

namespace {

// The walk reads `counts` in the order of a column's values, which is random in memory: ask
// for the count this many rows ahead so that its cache miss overlaps the current work.
constexpr std::size_t kPrefetchDistance = 32;

// A tree being grown always carries its parameters; a hand-built one without gets the defaults.
DecisionTreeRegressorParameters parameters_of(const DecisionTreeRegressor& tree) {
  return tree.parameters.value_or(DecisionTreeRegressorParameters{});
}

}  // namespace

PresortedColumns presort_columns(const DenseMatrix& x) {
  PresortedColumns columns;
  columns.feature_order.reserve(x.ncols);
  columns.sorted_values.reserve(x.ncols);
  for (std::size_t j = 0; j < x.ncols; ++j) {
    pool::throw_if_cancelled();
    std::vector<float> values(x.nrows);
    for (std::size_t i = 0; i < x.nrows; ++i) {
      values[i] = x.at(i, j);
    }
    columns.feature_order.push_back(argsort_mut(values));
    columns.sorted_values.push_back(std::move(values));
  }
  return columns;
}

bool find_best_cutoff(DecisionTreeRegressor& tree, SplitTask& task, const TreeTrainingData& data,
                      std::size_t feature_budget, Xoshiro128PlusPlus& rng) {
  std::size_t n = 0;
  for (const std::size_t c : task.counts) {
    n = checked_add(n, c);
  }
  if (n < parameters_of(tree).min_split_count) {
    return false;
  }

  const double mean = tree.nodes[task.node].mean;
  const auto count = static_cast<double>(n);
  const double node_total = mean * count;

  const std::size_t ncols = data.x.ncols;
  std::vector<std::size_t> candidates(ncols);
  for (std::size_t j = 0; j < ncols; ++j) {
    candidates[j] = j;
  }
  if (feature_budget < ncols) {
    shuffle(candidates, rng);
  }

  const double parent_term = (count * mean) * mean;
  const std::size_t examined = std::min(feature_budget, ncols);
  for (std::size_t k = 0; k < examined; ++k) {
    pool::throw_if_cancelled();
    scan_feature(tree, task, data, candidates[k], n, node_total, parent_term);
  }
  return tree.nodes[task.node].gain.has_value();
}

void scan_feature(DecisionTreeRegressor& tree, SplitTask& task, const TreeTrainingData& data,
                  std::size_t j, std::size_t n, double node_total, double parent_term) {
  const std::size_t min_leaf_count = parameters_of(tree).min_leaf_count;
  const std::size_t* counts = task.counts.data();
  const std::size_t* order = data.columns.feature_order[j].data();
  const float* sorted = data.columns.sorted_values[j].data();
  const std::size_t nrows = data.columns.feature_order[j].size();

  // The best candidate so far, carried over from earlier columns through the node.
  TreeNode& node = tree.nodes[task.node];
  bool has_best = node.gain.has_value();
  double best_gain = has_best ? *node.gain : 0.0;
  bool improved = false;
  double best_threshold = 0.0;
  double best_lower_mean = 0.0;
  double best_upper_mean = 0.0;

  // Rows of the walk so far form the lower side of the next boundary.
  std::size_t lower_count = 0;
  double lower_sum = 0.0;
  bool has_previous = false;
  float previous = 0.0f;

  for (std::size_t k = 0; k < nrows; ++k) {
    if (k + kPrefetchDistance < nrows) {
      __builtin_prefetch(counts + order[k + kPrefetchDistance]);
    }
    const std::size_t i = order[k];
    const std::size_t c = counts[i];
    if (c == 0) {
      continue;
    }
    const float v = sorted[k];
    if (has_previous && !(v == previous)) {
      const std::size_t upper_count = n - lower_count;
      if (lower_count >= min_leaf_count && upper_count >= min_leaf_count) {
        const auto lower_n = static_cast<double>(lower_count);
        const auto upper_n = static_cast<double>(upper_count);
        const double upper_mean = (node_total - lower_sum) / upper_n;
        const double lower_mean = lower_sum / lower_n;
        const double lower_term = (lower_n * lower_mean) * lower_mean;
        const double upper_term = (upper_n * upper_mean) * upper_mean;
        const double gain = (lower_term + upper_term) - parent_term;
        // Strictly greater: among equal gains the first candidate stays, and a NaN gain never
        // replaces anything.
        if (!has_best || gain > best_gain) {
          has_best = true;
          improved = true;
          best_gain = gain;
          const float pair_sum = previous + v;
          best_threshold = static_cast<double>(pair_sum) * 0.5;
          best_lower_mean = lower_mean;
          best_upper_mean = upper_mean;
        }
      }
    }
    lower_count += c;
    lower_sum += static_cast<double>(c) * static_cast<double>(data.y[i]);
    previous = v;
    has_previous = true;
  }

  if (improved) {
    node.feature = j;
    node.threshold = best_threshold;
    node.gain = best_gain;
    task.lower_mean = best_lower_mean;
    task.upper_mean = best_upper_mean;
  }
}

}  // namespace tacitor
