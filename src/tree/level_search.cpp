#include "tree/level_search.hpp"

#include <limits>
#include <utility>
#include <variant>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"

namespace tacitor {

namespace {

// How far ahead a walk in sorted order asks for what it looks up by row (the row state, or the
// narrow slot, which outgrows a core's cache at a million rows). A row costs a few
// nanoseconds of work while a miss to memory costs about a hundred, and more while one node takes
// every row in turn: at 16 rows ahead the walk over 4 million rows still waited on most of its
// loads, at 64 it took a third less time, and 128 or 256 gained nothing more.
constexpr std::size_t kPrefetchDistance = 64;

// Everything the walk touches for one row's node, in one cache line, so that a row costs one
// random access into the level's nodes. Counts are kept as doubles: they are whole numbers far
// below 2^53, so they are exact, and a boundary's score uses them without a conversion.
struct alignas(64) NodeScan {
  double count = 0.0;
  // mean * count and (count * mean) * mean of the node (NodeStatistics).
  double node_total = 0.0;
  double parent_term = 0.0;
  // The walk over the current column: the rows passed so far form the lower side of the next
  // boundary; `previous` is valid once lower_n > 0.
  double lower_n = 0.0;
  double lower_sum = 0.0;
  float previous = 0.0f;
  // The best candidate so far; the rest of it, needed only when it changes, is in `BestSplit`.
  bool found = false;
  double best_gain = 0.0;
};
static_assert(sizeof(NodeScan) == 64);

// The nodes of the level: their walk state, and the best split each has found.
struct LevelScans {
  std::vector<NodeScan> scans;
  std::vector<BestSplit> best;
};

// `row_at(k)` is the state of the row at rank k of the column. With `kAnyBoundary`, every
// boundary has at least one row on each side, which is all a min_leaf_count of 0 or 1 asks.
template <bool kAnyBoundary, class RowAt>
void scan_column_with(LevelScans& level, const PresortedColumn& column, std::size_t j, RowAt row_at,
                      std::size_t min_leaf_count) {
  for (NodeScan& scan : level.scans) {
    scan.lower_n = 0.0;
    scan.lower_sum = 0.0;
    scan.previous = 0.0f;
  }
  // Exact for counts below 2^53; a larger minimum rounds to a double that no count reaches,
  // so the comparisons below agree with the integer ones.
  const auto min_leaf = static_cast<double>(min_leaf_count);
  const float* values = column.values.data();
  NodeScan* searched = level.scans.data();
  BestSplit* best_of = level.best.data();
  const std::size_t nrows = column.size();

  for (std::size_t k = 0; k < nrows; ++k) {
    const RowState row = row_at(k);
    if (row.slot == kNoSlot) {
      continue;
    }
    NodeScan& s = searched[row.slot];
    const float v = values[k];
    if (s.lower_n > 0.0 && !(v == s.previous)) {
      const double lower_n = s.lower_n;
      const double upper_n = s.count - lower_n;
      if (kAnyBoundary || (lower_n >= min_leaf && upper_n >= min_leaf)) {
        const double upper_mean = (s.node_total - s.lower_sum) / upper_n;
        const double lower_mean = s.lower_sum / lower_n;
        const double lower_term = (lower_n * lower_mean) * lower_mean;
        const double upper_term = (upper_n * upper_mean) * upper_mean;
        const double gain = (lower_term + upper_term) - s.parent_term;
        // Strictly greater: among equal gains the first candidate stays, and a NaN gain never
        // replaces anything.
        if (!s.found || gain > s.best_gain) {
          s.found = true;
          s.best_gain = gain;
          BestSplit& best = best_of[row.slot];
          best.found = true;
          best.feature = j;
          best.gain = gain;
          const float pair_sum = s.previous + v;
          best.threshold = static_cast<double>(pair_sum) * 0.5;
          best.lower_mean = lower_mean;
          best.upper_mean = upper_mean;
        }
      }
    }
    // Every row counts once, so count * target is the target itself.
    s.lower_n += 1.0;
    s.lower_sum += static_cast<double>(row.target);
    s.previous = v;
  }
}

template <class RowAt>
void scan_column(LevelScans& level, const PresortedColumn& column, std::size_t j, RowAt row_at,
                 std::size_t min_leaf_count) {
  if (min_leaf_count <= 1) {
    scan_column_with<true>(level, column, j, row_at, min_leaf_count);
  } else {
    scan_column_with<false>(level, column, j, row_at, min_leaf_count);
  }
}

// Walks column j over its sorted targets, looking up every row's slot in the narrow slots,
// which are `Slot` wide and read at random.
template <class Slot>
void scan_sorted_column(LevelScans& scans, const PresortedColumn& column, std::size_t j,
                        const Slot* slots, const float* targets, std::size_t min_leaf_count) {
  constexpr Slot kNarrowNoSlot = std::numeric_limits<Slot>::max();
  if (scans.scans.size() >= kNarrowNoSlot) {
    raise_internal_failure("a tree level holds more nodes than its narrow slots can name");
  }
  const TreeRow* order = column.order.data();
  const std::size_t nrows = column.size();
  scan_column(
      scans, column, j,
      [=](std::size_t k) {
        if (k + kPrefetchDistance < nrows) {
          __builtin_prefetch(slots + order[k + kPrefetchDistance]);
        }
        const Slot slot = slots[order[k]];
        return RowState{slot == kNarrowNoSlot ? kNoSlot : TreeRow{slot}, targets[k]};
      },
      min_leaf_count);
}

}  // namespace

std::vector<BestSplit> search_level(std::span<const NodeStatistics> nodes,
                                    std::span<const PresortedColumn* const> columns,
                                    std::span<const RowState> rows, const SortedRows& sorted,
                                    std::size_t min_leaf_count) {
  LevelScans scans;
  scans.scans.resize(nodes.size());
  scans.best.resize(nodes.size());
  for (std::size_t slot = 0; slot < nodes.size(); ++slot) {
    NodeScan& scan = scans.scans[slot];
    scan.count = static_cast<double>(nodes[slot].count);
    scan.node_total = nodes[slot].node_total;
    scan.parent_term = nodes[slot].parent_term;
  }
  for (std::size_t j = 0; j < columns.size(); ++j) {
    throw_if_cancelled();
    const PresortedColumn& column = *columns[j];
    if (sorted.targets != nullptr) {
      const float* targets = (*sorted.targets)[j].data();
      std::visit(
          [&](const auto& slots) {
            scan_sorted_column(scans, column, j, slots.data(), targets, min_leaf_count);
          },
          *sorted.slots);
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
  return std::move(scans.best);
}

}  // namespace tacitor
