#pragma once
// The best split the search has found for one node, with the side means that become the
// values of the node's children when the split is taken.

#include <cstddef>

namespace tacitor {

struct BestSplit {
  // False until the search meets the node's first admissible boundary.
  bool found = false;
  std::size_t feature = 0;
  double gain = 0.0;
  // Rows whose value in `feature`, widened to double, is less than or equal to it go lower.
  double threshold = 0.0;
  double lower_mean = 0.0;
  double upper_mean = 0.0;
};

}  // namespace tacitor
