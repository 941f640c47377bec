#pragma once
// Which node of the current level every training row belongs to, and how the rows move to the
// children when the level's splits are taken.
//
// A row's node is named by its slot, the node's position in the level; rows of nodes that are
// not searched (leaves, and nodes too small to split) hold kNoSlot and never come back. When
// the budget allows, the row states are also kept in every column's sorted order, so that the
// split search streams through memory instead of gathering; the next search then brings those
// copies up to date through the same side bit per row that moves the rows in row order.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "tree/best_split.hpp"
#include "tree/node_statistics.hpp"
#include "tree/presorted_column.hpp"

namespace tacitor {

// What a fit keeps per training row: the slot of the searched node the row belongs to in the
// current level (kNoSlot when its node is not searched) and the row's target, side by side so
// that the walk's one random access per row fetches both.
struct RowState {
  TreeRow slot;
  float target;
};
inline constexpr TreeRow kNoSlot = std::numeric_limits<TreeRow>::max();

// Rows on the lower and the upper side of every slot's split (none for slots without one).
struct SideCounts {
  std::vector<std::size_t> lower;
  std::vector<std::size_t> upper;
};

// The slots of every slot's children in the next level; kNoSlot where the split was not taken
// or the child is not searched.
struct ChildSlots {
  std::vector<TreeRow> lower;
  std::vector<TreeRow> upper;
};

// The row states in every column's sorted order. The targets are kept as they are; the slots
// take as few bytes as the depth limit allows, since a level holds at most 2^(level - 1)
// nodes and the level after the limit at most two: one byte up to depth 8, two up to 16. The
// type's largest value stands for kNoSlot. At depth 8, 5 bytes a state instead of 8.
template <class Slot>
using SortedSlots = std::vector<std::vector<Slot>>;

struct SortedStates {
  std::vector<std::vector<float>> targets;
  std::variant<SortedSlots<std::uint8_t>, SortedSlots<std::uint16_t>, SortedSlots<TreeRow>> slots;
};

// Bytes per slot in the sorted copies of a tree grown with this depth limit (none: 65535).
std::size_t sorted_slot_bytes(std::optional<std::uint16_t> depth_limit) noexcept;

// The sorted copies of the row states as the next split search reads them. After a level's
// moves, every copy still lags one move behind: the search applies it while it streams the
// column (the row goes to next_slots[2 * slot] when its bit in `lower_rows` is set, else to
// next_slots[2 * slot + 1]), so the copies cost one pass per level instead of two, and none after
// the last level.
struct SortedRows {
  // The states in every column's sorted order; null when they are not kept.
  SortedStates* states = nullptr;
  // Null when no move is pending.
  const std::uint64_t* lower_rows = nullptr;
  // The lower and the upper child slot of every slot, side by side: the row's side bit picks
  // one by its index, without a branch that the bits' randomness would defeat.
  const TreeRow* next_slots = nullptr;
};

class RowPartition {
 public:
  // Every row starts in slot 0 when the root is searched, in no slot otherwise. The sorted
  // copies are kept when the root is searched, there are columns, and they take at most
  // `sorted_state_budget` bytes at 8 bytes a state; their slots take `slot_bytes` (1, 2 or 4)
  // bytes each.
  RowPartition(std::span<const PresortedColumn* const> columns, std::span<const float> targets,
               bool root_searched, std::size_t sorted_state_budget, std::size_t slot_bytes);

  std::span<const RowState> rows() const noexcept { return rows_; }
  // The sorted copies for the next search, which must apply the pending move to every column
  // it is given; afterwards the move counts as applied.
  SortedRows sorted_rows_for_search() noexcept;

  // Counts the rows on each side of every slot's split and remembers every row's side, in one
  // pass over the rows: the only pass of a level that reads feature values in row order.
  // `level` holds the statistics of the slots' nodes, whose counts are their rows.
  void count_sides(std::span<const BestSplit> splits, std::span<const NodeStatistics> level,
                   SideCounts& sides);

  // Moves the rows of every slot to the child slot on the side that the last count_sides
  // recorded; rows of slots without children drop out. The sorted copies follow in the next
  // search (sorted_rows_for_search).
  void move_rows(const ChildSlots& children);

 private:
  std::span<const PresortedColumn* const> columns_;
  std::vector<RowState> rows_;
  bool streamed_;
  SortedStates sorted_rows_;
  // The child slots of the last move, interleaved as in SortedRows::next_slots; the sorted
  // copies take the move while move_pending_.
  std::vector<TreeRow> next_slots_;
  bool move_pending_ = false;
  // One bit per row, set by count_sides when the row goes to the lower side of its node's
  // split.
  std::vector<std::uint64_t> lower_rows_;
};

}  // namespace tacitor
