#include "tree/level_search.hpp"

#include <limits>
#include <variant>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"

namespace tacitor {

namespace {

// How far ahead a walk through row order asks for a row state.
constexpr std::size_t kPrefetchDistance = 16;

// The walk of one node over the current column: the rows passed so far form the lower side of
// the next boundary; `previous` is valid once lower_count > 0.
struct ColumnWalk {
  std::size_t lower_count = 0;
  double lower_sum = 0.0;
  float previous = 0.0f;
};

// Everything the walk touches for one row's node, side by side, so that a row costs one random
// access into the level's nodes.
struct NodeScan {
  NodeStatistics statistics;
  ColumnWalk walk;
  BestSplit best;
};

// `row_at(k)` is the state of the row at rank k of the column.
template <class RowAt>
void scan_column(std::vector<NodeScan>& scans, const PresortedColumn& column, std::size_t j,
                 RowAt row_at, std::size_t min_leaf_count) {
  for (NodeScan& scan : scans) {
    scan.walk = ColumnWalk{};
  }
  const float* values = column.values.data();
  NodeScan* searched = scans.data();
  const std::size_t nrows = column.size();

  for (std::size_t k = 0; k < nrows; ++k) {
    const RowState row = row_at(k);
    if (row.slot == kNoSlot) {
      continue;
    }
    NodeScan& s = searched[row.slot];
    ColumnWalk& walk = s.walk;
    const float v = values[k];
    if (walk.lower_count > 0 && !(v == walk.previous)) {
      const std::size_t upper_count = s.statistics.count - walk.lower_count;
      if (walk.lower_count >= min_leaf_count && upper_count >= min_leaf_count) {
        const auto lower_n = static_cast<double>(walk.lower_count);
        const auto upper_n = static_cast<double>(upper_count);
        const double upper_mean = (s.statistics.node_total - walk.lower_sum) / upper_n;
        const double lower_mean = walk.lower_sum / lower_n;
        const double lower_term = (lower_n * lower_mean) * lower_mean;
        const double upper_term = (upper_n * upper_mean) * upper_mean;
        const double gain = (lower_term + upper_term) - s.statistics.parent_term;
        // Strictly greater: among equal gains the first candidate stays, and a NaN gain never
        // replaces anything.
        BestSplit& best = s.best;
        if (!best.found || gain > best.gain) {
          best.found = true;
          best.feature = j;
          best.gain = gain;
          const float pair_sum = walk.previous + v;
          best.threshold = static_cast<double>(pair_sum) * 0.5;
          best.lower_mean = lower_mean;
          best.upper_mean = upper_mean;
        }
      }
    }
    // Every row counts once, so count * target is the target itself.
    walk.lower_count += 1;
    walk.lower_sum += static_cast<double>(row.target);
    walk.previous = v;
  }
}

// Walks column j over the sorted copies, whose slots are `Slot` wide, applying the pending
// move when there is one: each state is read, moved and written back as the walk passes it.
template <class Slot>
void scan_sorted_column(std::vector<NodeScan>& scans, const PresortedColumn& column, std::size_t j,
                        Slot* slots, const float* targets, const SortedRows& sorted,
                        std::size_t min_leaf_count) {
  constexpr Slot kNarrowNoSlot = std::numeric_limits<Slot>::max();
  if (scans.size() >= kNarrowNoSlot) {
    raise_internal_failure("a tree level holds more nodes than its sorted slots can name");
  }
  if (sorted.lower_rows == nullptr) {
    scan_column(
        scans, column, j,
        [=](std::size_t k) {
          const Slot slot = slots[k];
          return RowState{slot == kNarrowNoSlot ? kNoSlot : TreeRow{slot}, targets[k]};
        },
        min_leaf_count);
    return;
  }
  const TreeRow* order = column.order.data();
  const std::uint64_t* lower_rows = sorted.lower_rows;
  const TreeRow* next_slots = sorted.next_slots;
  scan_column(
      scans, column, j,
      [=](std::size_t k) {
        const Slot slot = slots[k];
        if (slot == kNarrowNoSlot) {
          return RowState{kNoSlot, targets[k]};
        }
        const TreeRow row = order[k];
        const std::uint64_t upper = ~(lower_rows[row / 64] >> (row % 64)) & 1U;
        const TreeRow moved = next_slots[2 * std::size_t{slot} + upper];
        slots[k] = moved == kNoSlot ? kNarrowNoSlot : static_cast<Slot>(moved);
        return RowState{moved, targets[k]};
      },
      min_leaf_count);
}

}  // namespace

std::vector<BestSplit> search_level(std::span<const NodeStatistics> nodes,
                                    std::span<const PresortedColumn* const> columns,
                                    std::span<const RowState> rows, const SortedRows& sorted,
                                    std::size_t min_leaf_count) {
  std::vector<NodeScan> scans(nodes.size());
  for (std::size_t slot = 0; slot < nodes.size(); ++slot) {
    scans[slot].statistics = nodes[slot];
  }
  // Every column is walked even when nothing could split, since the walk also applies the
  // sorted copies' pending move.
  for (std::size_t j = 0; j < columns.size(); ++j) {
    throw_if_cancelled();
    const PresortedColumn& column = *columns[j];
    if (sorted.states != nullptr) {
      const float* targets = sorted.states->targets[j].data();
      std::visit(
          [&](auto& slots) {
            scan_sorted_column(scans, column, j, slots[j].data(), targets, sorted, min_leaf_count);
          },
          sorted.states->slots);
      continue;
    }
    // The row states are read in the order of the column's values, random in memory: ask for
    // the state a few rows ahead so that its cache miss overlaps the current work.
    const TreeRow* order = column.order.data();
    const RowState* states = rows.data();
    const std::size_t nrows = column.size();
    scan_column(
        scans, column, j,
        [order, states, nrows](std::size_t k) {
          if (k + kPrefetchDistance < nrows) {
            __builtin_prefetch(states + order[k + kPrefetchDistance]);
          }
          return states[order[k]];
        },
        min_leaf_count);
  }
  std::vector<BestSplit> best(scans.size());
  for (std::size_t slot = 0; slot < scans.size(); ++slot) {
    best[slot] = scans[slot].best;
  }
  return best;
}

}  // namespace tacitor
