#pragma once
// What the split search knows of a node before it walks a column: the node's row count and
// the two terms of the squared-error decrease that depend on the node alone.
//
// A split's score is the sum of count * mean^2 over its two sides minus the same term of the
// node (the parent term); the upper side's sum is the node total minus the lower side's sum.
// Both terms come from the node's stored mean, not from its targets.

#include <cstddef>

namespace tacitor {

struct NodeStatistics {
  // Index in the tree's nodes.
  std::size_t node = 0;
  std::size_t count = 0;
  // mean * count.
  double node_total = 0.0;
  // (count * mean) * mean.
  double parent_term = 0.0;
};

// The statistics of node `node` holding `count` rows whose stored mean is `mean`.
inline NodeStatistics node_statistics(std::size_t node, std::size_t count, double mean) {
  const auto n = static_cast<double>(count);
  return NodeStatistics{node, count, mean * n, (n * mean) * mean};
}

}  // namespace tacitor
