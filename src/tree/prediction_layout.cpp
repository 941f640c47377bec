#include "tree/prediction_layout.hpp"

#include <algorithm>
#include <limits>

namespace tacitor {

namespace {

// Rows walked side by side: enough independent chains to cover a load's latency.
constexpr std::size_t kRowBlock = 8;

}  // namespace

std::optional<PredictionLayout> PredictionLayout::of(const std::vector<TreeNode>& nodes,
                                                     std::size_t ncols) {
  if (nodes.empty() || nodes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  PredictionLayout layout;
  layout.steps_.resize(nodes.size());
  layout.means_.resize(nodes.size());
  // Children come after their parent, so one pass in index order knows every node's level.
  std::vector<std::size_t> level(nodes.size(), 0);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& node = nodes[i];
    const auto self = static_cast<std::uint32_t>(i);
    layout.means_[i] = static_cast<float>(node.mean);
    if (node.is_leaf()) {
      layout.steps_[i] = Step{std::numeric_limits<double>::quiet_NaN(), 0, {self, self}};
      continue;
    }
    if (!node.lower_child || !node.upper_child || *node.lower_child <= i ||
        *node.upper_child <= i || *node.lower_child >= nodes.size() ||
        *node.upper_child >= nodes.size() || node.feature >= ncols) {
      return std::nullopt;
    }
    const double threshold = node.threshold.value_or(std::numeric_limits<double>::quiet_NaN());
    layout.steps_[i] = Step{threshold,
                            static_cast<std::uint32_t>(node.feature),
                            {static_cast<std::uint32_t>(*node.lower_child),
                             static_cast<std::uint32_t>(*node.upper_child)}};
    for (const std::size_t child : {*node.lower_child, *node.upper_child}) {
      level[child] = level[i] + 1;
      layout.depth_ = std::max(layout.depth_, level[child]);
    }
  }
  return layout;
}

void PredictionLayout::predict(const DenseMatrix& x, float* out) const {
  if (depth_ == 0) {
    std::fill(out, out + x.nrows, means_[0]);
    return;
  }
  // A split exists, so x has a column and every tested feature is below ncols: every element
  // read below is inside x.
  const float* values = x.values.data();
  const std::size_t row_stride = x.row_stride();
  const std::size_t col_stride = x.col_stride();
  const Step* steps = steps_.data();
  std::size_t r = 0;
  for (; r < x.nrows; r += kRowBlock) {
    const std::size_t block = std::min(kRowBlock, x.nrows - r);
    std::uint32_t at[kRowBlock] = {};
    for (std::size_t level = 0; level < depth_; ++level) {
      for (std::size_t b = 0; b < block; ++b) {
        const Step& step = steps[at[b]];
        const auto value = static_cast<double>(
            values[(r + b) * row_stride + static_cast<std::size_t>(step.feature) * col_stride]);
        at[b] = step.child[value <= step.threshold ? 0 : 1];
      }
    }
    for (std::size_t b = 0; b < block; ++b) {
      out[r + b] = means_[at[b]];
    }
  }
}

}  // namespace tacitor
