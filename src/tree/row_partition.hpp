#pragma once
// Which node of the current level every training row belongs to, and how the rows move to the
// children when the level's splits are taken.
//
// A row's node is named by its slot, the node's position in the level; rows of nodes that are
// not searched (leaves, and nodes too small to split) hold kNoSlot and never come back. When
// the budget allows, the targets are also kept in every column's sorted order, and the slots in
// a narrow copy small enough to stay in a core's cache: the split search then streams through
// each column and looks up only the slot of every row it passes.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "common/huge_page_allocator.hpp"
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

// The slots of all rows in row order, as few bytes each as the depth limit allows, since a
// level holds at most 2^(level - 1) nodes and the level after the limit at most two: one byte
// up to depth 8, two up to 16. The type's largest value stands for kNoSlot.
using NarrowSlots =
    std::variant<std::vector<std::uint8_t>, std::vector<std::uint16_t>, std::vector<TreeRow>>;

// Bytes per narrow slot of a tree grown with this depth limit (none: 65535).
std::size_t narrow_slot_bytes(std::optional<std::uint16_t> depth_limit) noexcept;

// What the split search reads besides the row states, when the budget allows it: the targets
// in every column's sorted order and the narrow slots.
struct SortedRows {
  // Null when not kept.
  const std::vector<std::vector<float>>* targets = nullptr;
  const NarrowSlots* slots = nullptr;
};

class RowPartition {
 public:
  // Every row starts in slot 0 when the root is searched, in no slot otherwise. The sorted
  // targets and narrow slots are kept when the root is searched, there are columns, and the
  // sorted copies take at most `sorted_state_budget` bytes at 8 bytes a row and column; the
  // narrow slots take `slot_bytes` (1, 2 or 4) bytes each.
  RowPartition(std::span<const PresortedColumn* const> columns, std::span<const float> targets,
               bool root_searched, std::size_t sorted_state_budget, std::size_t slot_bytes);

  std::span<const RowState> rows() const noexcept { return rows_; }
  // The sorted targets and narrow slots, when kept.
  SortedRows sorted_rows() const noexcept;

  // Counts the rows on each side of every slot's split and remembers every row's side, in one
  // pass over the rows: the only pass of a level that reads feature values in row order.
  // `level` holds the statistics of the slots' nodes, whose counts are their rows.
  void count_sides(std::span<const BestSplit> splits, std::span<const NodeStatistics> level,
                   SideCounts& sides);

  // Moves the rows of every slot to the child slot on the side that the last count_sides
  // recorded; rows of slots without children drop out.
  void move_rows(const ChildSlots& children);

 private:
  std::span<const PresortedColumn* const> columns_;
  bool streamed_;
  // Read at random when the walks gather them, and then in huge pages where the system offers
  // them; streaming walks leave them to the passes in row order.
  std::vector<RowState, HugePageAllocator<RowState>> rows_;
  std::vector<std::vector<float>> sorted_targets_;
  NarrowSlots narrow_slots_;
  // One bit per row, set by count_sides when the row goes to the lower side of its node's
  // split.
  std::vector<std::uint64_t> lower_rows_;
};

}  // namespace tacitor
