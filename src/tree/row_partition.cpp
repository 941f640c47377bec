#include "tree/row_partition.hpp"

#include <algorithm>

namespace tacitor {

// The loops below read the members through local pointers: the compiler then knows that the
// stores into the row states leave them unchanged, and keeps them in registers.

namespace {

// Lower when the row's value in the split's feature, widened to double, is less than or
// equal to the threshold (NaN never is).
bool goes_lower(const PresortedColumn* const* columns, const BestSplit& split, std::size_t r) {
  return static_cast<double>(columns[split.feature]->row_values[r]) <= split.threshold;
}

}  // namespace

std::size_t sorted_slot_bytes(std::optional<std::uint16_t> depth_limit) noexcept {
  const std::uint16_t depth = depth_limit.value_or(std::numeric_limits<std::uint16_t>::max());
  if (depth <= 8) {
    return 1;
  }
  return depth <= 16 ? 2 : sizeof(TreeRow);
}

namespace {

// The sorted copies of `rows` with `Slot`-wide slots.
template <class Slot>
SortedSlots<Slot> sorted_slots(std::span<const PresortedColumn* const> columns,
                               std::span<const RowState> rows) {
  constexpr Slot kNarrowNoSlot = std::numeric_limits<Slot>::max();
  SortedSlots<Slot> slots(columns.size());
  for (std::size_t j = 0; j < columns.size(); ++j) {
    slots[j].resize(rows.size());
    Slot* sorted = slots[j].data();
    const TreeRow* order = columns[j]->order.data();
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const TreeRow slot = rows[order[k]].slot;
      sorted[k] = slot == kNoSlot ? kNarrowNoSlot : static_cast<Slot>(slot);
    }
  }
  return slots;
}

}  // namespace

RowPartition::RowPartition(std::span<const PresortedColumn* const> columns,
                           std::span<const float> targets, bool root_searched,
                           std::size_t sorted_state_budget, std::size_t slot_bytes)
    : columns_(columns),
      rows_(targets.size()),
      streamed_(root_searched && !columns.empty() &&
                targets.size() <= sorted_state_budget / sizeof(RowState) / columns.size()),
      lower_rows_((targets.size() + 63) / 64, 0) {
  const std::size_t nrows = targets.size();
  RowState* rows = rows_.data();
  for (std::size_t r = 0; r < nrows; ++r) {
    rows[r] = RowState{root_searched ? TreeRow{0} : kNoSlot, targets[r]};
  }
  if (streamed_) {
    sorted_rows_.targets.resize(columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      sorted_rows_.targets[j].resize(nrows);
      float* sorted = sorted_rows_.targets[j].data();
      const TreeRow* order = columns[j]->order.data();
      for (std::size_t k = 0; k < nrows; ++k) {
        sorted[k] = targets[order[k]];
      }
    }
    if (slot_bytes == 1) {
      sorted_rows_.slots = sorted_slots<std::uint8_t>(columns, rows_);
    } else if (slot_bytes == 2) {
      sorted_rows_.slots = sorted_slots<std::uint16_t>(columns, rows_);
    } else {
      sorted_rows_.slots = sorted_slots<TreeRow>(columns, rows_);
    }
  }
}

void RowPartition::count_sides(std::span<const BestSplit> splits, SideCounts& sides) {
  sides.lower.assign(splits.size(), 0);
  sides.upper.assign(splits.size(), 0);
  const PresortedColumn* const* columns = columns_.data();
  const RowState* rows = rows_.data();
  std::size_t* lower = sides.lower.data();
  std::size_t* upper = sides.upper.data();
  std::uint64_t* lower_rows = lower_rows_.data();
  std::fill(lower_rows_.begin(), lower_rows_.end(), 0);
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    const TreeRow slot = rows[r].slot;
    if (slot != kNoSlot && splits[slot].found) {
      const bool goes = goes_lower(columns, splits[slot], r);
      ++(goes ? lower : upper)[slot];
      lower_rows[r / 64] |= std::uint64_t{goes} << (r % 64);
    }
  }
}

void RowPartition::move_rows(const ChildSlots& children) {
  const TreeRow* lower_slots = children.lower.data();
  const TreeRow* upper_slots = children.upper.data();
  const std::uint64_t* lower_rows = lower_rows_.data();
  RowState* rows = rows_.data();
  const std::size_t nrows = rows_.size();
  // Slots whose split was not taken have no child on either side, so their rows drop out.
  for (std::size_t r = 0; r < nrows; ++r) {
    const TreeRow slot = rows[r].slot;
    if (slot != kNoSlot) {
      const bool lower = ((lower_rows[r / 64] >> (r % 64)) & 1U) != 0;
      rows[r].slot = lower ? lower_slots[slot] : upper_slots[slot];
    }
  }
  if (streamed_) {
    pending_children_ = children;
    move_pending_ = true;
  }
}

SortedRows RowPartition::sorted_rows_for_search() noexcept {
  SortedRows sorted;
  if (streamed_) {
    sorted.states = &sorted_rows_;
  }
  if (move_pending_) {
    sorted.lower_rows = lower_rows_.data();
    sorted.lower_slots = pending_children_.lower.data();
    sorted.upper_slots = pending_children_.upper.data();
    move_pending_ = false;
  }
  return sorted;
}

}  // namespace tacitor
