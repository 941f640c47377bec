#include "tree/level_search.hpp"

#include "common/cancellation.hpp"

namespace tacitor {

namespace {

// How far ahead a walk through row order asks for a row state.
constexpr std::size_t kPrefetchDistance = 16;

// `row_at(k)` is the state of the row at rank k of the column.
template <class RowAt>
void scan_column(std::vector<LevelNode>& nodes, const PresortedColumn& column, std::size_t j,
                 RowAt row_at, std::size_t min_leaf_count) {
  for (LevelNode& node : nodes) {
    node.lower_count = 0;
    node.lower_sum = 0.0;
  }
  const float* values = column.values.data();
  LevelNode* searched = nodes.data();
  const std::size_t nrows = column.size();

  for (std::size_t k = 0; k < nrows; ++k) {
    const RowState row = row_at(k);
    if (row.slot == kNoSlot) {
      continue;
    }
    LevelNode& s = searched[row.slot];
    const float v = values[k];
    if (s.lower_count > 0 && !(v == s.previous)) {
      const std::size_t upper_count = s.count - s.lower_count;
      if (s.lower_count >= min_leaf_count && upper_count >= min_leaf_count) {
        const auto lower_n = static_cast<double>(s.lower_count);
        const auto upper_n = static_cast<double>(upper_count);
        const double upper_mean = (s.node_total - s.lower_sum) / upper_n;
        const double lower_mean = s.lower_sum / lower_n;
        const double lower_term = (lower_n * lower_mean) * lower_mean;
        const double upper_term = (upper_n * upper_mean) * upper_mean;
        const double gain = (lower_term + upper_term) - s.parent_term;
        // Strictly greater: among equal gains the first candidate stays, and a NaN gain never
        // replaces anything.
        if (!s.has_best || gain > s.gain) {
          s.has_best = true;
          s.feature = j;
          s.gain = gain;
          const float pair_sum = s.previous + v;
          s.threshold = static_cast<double>(pair_sum) * 0.5;
          s.lower_mean = lower_mean;
          s.upper_mean = upper_mean;
        }
      }
    }
    // Every row counts once, so count * target is the target itself.
    s.lower_count += 1;
    s.lower_sum += static_cast<double>(row.target);
    s.previous = v;
  }
}

}  // namespace

LevelNode level_node(std::size_t node, std::size_t count, double mean) {
  LevelNode level;
  level.node = node;
  level.count = count;
  const auto n = static_cast<double>(count);
  level.node_total = mean * n;
  level.parent_term = (n * mean) * mean;
  return level;
}

void search_level(std::vector<LevelNode>& nodes, std::span<const PresortedColumn* const> columns,
                  std::span<const RowState> rows,
                  std::span<const std::vector<RowState>> sorted_rows, std::size_t min_leaf_count) {
  if (nodes.empty()) {
    return;
  }
  for (std::size_t j = 0; j < columns.size(); ++j) {
    throw_if_cancelled();
    const PresortedColumn& column = *columns[j];
    if (!sorted_rows.empty()) {
      const RowState* states = sorted_rows[j].data();
      scan_column(nodes, column, j, [states](std::size_t k) { return states[k]; }, min_leaf_count);
      continue;
    }
    // The row states are read in the order of the column's values, random in memory: ask for
    // the state a few rows ahead so that its cache miss overlaps the current work.
    const TreeRow* order = column.order.data();
    const RowState* states = rows.data();
    const std::size_t nrows = column.size();
    scan_column(
        nodes, column, j,
        [order, states, nrows](std::size_t k) {
          if (k + kPrefetchDistance < nrows) {
            __builtin_prefetch(states + order[k + kPrefetchDistance]);
          }
          return states[order[k]];
        },
        min_leaf_count);
  }
}

}  // namespace tacitor
