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
    // Only a searched root keeps sorted copies, and then every row is in its slot 0.
    if (slot_bytes == 1) {
      sorted_rows_.slots =
          SortedSlots<std::uint8_t>(columns.size(), std::vector<std::uint8_t>(nrows, 0));
    } else if (slot_bytes == 2) {
      sorted_rows_.slots =
          SortedSlots<std::uint16_t>(columns.size(), std::vector<std::uint16_t>(nrows, 0));
    } else {
      sorted_rows_.slots = SortedSlots<TreeRow>(columns.size(), std::vector<TreeRow>(nrows, 0));
    }
  }
}

void RowPartition::count_sides(std::span<const BestSplit> splits,
                               std::span<const NodeStatistics> level, SideCounts& sides) {
  // Consecutive rows mostly share a few slots, so one counter per slot would make every row
  // wait for the previous row's increment of the same counter: the rows take turns over
  // kCounterBanks counters per slot instead, added up at the end. The side bits of 64 rows
  // are gathered in a register and stored once, for the same reason. Only the lower sides
  // are counted; the upper side holds the rest of the node's rows.
  constexpr std::size_t kCounterBanks = 4;
  const std::size_t nslots = splits.size();
  std::vector<std::size_t> banked(kCounterBanks * nslots, 0);
  const PresortedColumn* const* columns = columns_.data();
  const RowState* rows = rows_.data();
  const BestSplit* split_of = splits.data();
  std::size_t* counters = banked.data();
  std::uint64_t* lower_rows = lower_rows_.data();
  const std::size_t nrows = rows_.size();
  for (std::size_t first = 0; first < nrows; first += 64) {
    const std::size_t end = std::min(first + 64, nrows);
    std::uint64_t word = 0;
    for (std::size_t r = first; r < end; ++r) {
      const TreeRow slot = rows[r].slot;
      if (slot != kNoSlot && split_of[slot].found) {
        const bool goes = goes_lower(columns, split_of[slot], r);
        counters[(r % kCounterBanks) * nslots + slot] += goes ? 1 : 0;
        word |= std::uint64_t{goes} << (r - first);
      }
    }
    lower_rows[first / 64] = word;
  }
  sides.lower.assign(nslots, 0);
  sides.upper.assign(nslots, 0);
  for (std::size_t slot = 0; slot < nslots; ++slot) {
    if (!splits[slot].found) {
      continue;
    }
    std::size_t lower = 0;
    for (std::size_t bank = 0; bank < kCounterBanks; ++bank) {
      lower += counters[bank * nslots + slot];
    }
    sides.lower[slot] = lower;
    sides.upper[slot] = level[slot].count - lower;
  }
}

void RowPartition::move_rows(const ChildSlots& children) {
  const std::size_t nslots = children.lower.size();
  next_slots_.resize(2 * nslots);
  for (std::size_t slot = 0; slot < nslots; ++slot) {
    next_slots_[2 * slot] = children.lower[slot];
    next_slots_[2 * slot + 1] = children.upper[slot];
  }
  const TreeRow* next_slots = next_slots_.data();
  const std::uint64_t* lower_rows = lower_rows_.data();
  RowState* rows = rows_.data();
  const std::size_t nrows = rows_.size();
  // Slots whose split was not taken have no child on either side, so their rows drop out.
  for (std::size_t r = 0; r < nrows; ++r) {
    const TreeRow slot = rows[r].slot;
    if (slot != kNoSlot) {
      const std::uint64_t upper = ~(lower_rows[r / 64] >> (r % 64)) & 1U;
      rows[r].slot = next_slots[2 * std::size_t{slot} + upper];
    }
  }
  move_pending_ = streamed_;
}

SortedRows RowPartition::sorted_rows_for_search() noexcept {
  SortedRows sorted;
  if (streamed_) {
    sorted.states = &sorted_rows_;
  }
  if (move_pending_) {
    sorted.lower_rows = lower_rows_.data();
    sorted.next_slots = next_slots_.data();
    move_pending_ = false;
  }
  return sorted;
}

}  // namespace tacitor
