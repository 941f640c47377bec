#include "tree/row_partition.hpp"

#include <algorithm>
#include <limits>

#include "common/internal_failure.hpp"

namespace tacitor {

// The loops below read the members through local pointers: the compiler then knows that the
// stores into the row states leave them unchanged, and keeps them in registers.

namespace {

// What the side test of one slot reads: the split feature's values in row order and the
// threshold. A row goes lower when its value, widened to double, is less than or equal to the
// threshold (NaN never is). A slot without a split gets a NaN threshold, so its rows go lower
// never, which is what leaving them out would count.
struct SideTest {
  const float* values;
  double threshold;
};

}  // namespace

std::size_t narrow_slot_bytes(std::optional<std::uint16_t> depth_limit) noexcept {
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
      streamed_(root_searched && !columns.empty() &&
                targets.size() <= sorted_state_budget / sizeof(RowState) / columns.size()),
      rows_(targets.size(), HugePageAllocator<RowState>(!streamed_)),
      lower_rows_((targets.size() + 63) / 64, 0) {
  const std::size_t nrows = targets.size();
  RowState* rows = rows_.data();
  for (std::size_t r = 0; r < nrows; ++r) {
    rows[r] = RowState{root_searched ? TreeRow{0} : kNoSlot, targets[r]};
  }
  if (streamed_) {
    sorted_targets_.resize(columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      sorted_targets_[j].resize(nrows);
      float* sorted = sorted_targets_[j].data();
      const TreeRow* order = columns[j]->order.data();
      for (std::size_t k = 0; k < nrows; ++k) {
        sorted[k] = targets[order[k]];
      }
    }
    // Only a searched root keeps the copies, and then every row is in its slot 0.
    if (slot_bytes == 1) {
      narrow_slots_ = std::vector<std::uint8_t>(nrows, 0);
    } else if (slot_bytes == 2) {
      narrow_slots_ = std::vector<std::uint16_t>(nrows, 0);
    } else {
      narrow_slots_ = std::vector<TreeRow>(nrows, 0);
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
  // Only a level with a split counts sides, and a split needs a column.
  if (columns_.empty()) {
    raise_internal_failure("row sides counted without columns");
  }
  std::vector<SideTest> tests(nslots, SideTest{columns_.front()->row_values.data(),
                                               std::numeric_limits<double>::quiet_NaN()});
  for (std::size_t slot = 0; slot < nslots; ++slot) {
    if (splits[slot].found) {
      tests[slot] =
          SideTest{columns_[splits[slot].feature]->row_values.data(), splits[slot].threshold};
    }
  }
  const RowState* rows = rows_.data();
  const SideTest* test_of = tests.data();
  std::size_t* counters = banked.data();
  std::uint64_t* lower_rows = lower_rows_.data();
  const std::size_t nrows = rows_.size();
  for (std::size_t first = 0; first < nrows; first += 64) {
    const std::size_t end = std::min(first + 64, nrows);
    std::uint64_t word = 0;
    for (std::size_t r = first; r < end; ++r) {
      const TreeRow slot = rows[r].slot;
      if (slot != kNoSlot) {
        const SideTest test = test_of[slot];
        const bool goes = static_cast<double>(test.values[r]) <= test.threshold;
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

namespace {

// Moves every row to the child slot on its recorded side, with `narrow` (when not null)
// following in its own width; kNoSlot narrows to the width's largest value, which stands for it.
template <class Slot>
void move_to_children(RowState* rows, Slot* narrow, std::size_t nrows,
                      const std::uint64_t* lower_rows, const TreeRow* next_slots) {
  for (std::size_t r = 0; r < nrows; ++r) {
    const TreeRow slot = rows[r].slot;
    if (slot != kNoSlot) {
      const std::uint64_t upper = ~(lower_rows[r / 64] >> (r % 64)) & 1U;
      const TreeRow moved = next_slots[2 * std::size_t{slot} + upper];
      rows[r].slot = moved;
      if (narrow != nullptr) {
        narrow[r] = static_cast<Slot>(moved);
      }
    }
  }
}

}  // namespace

void RowPartition::move_rows(const ChildSlots& children) {
  // The lower and the upper child slot of every slot side by side: the row's side bit picks
  // one by its index, without a branch that the bits' randomness would defeat.
  const std::size_t nslots = children.lower.size();
  std::vector<TreeRow> next_slots(2 * nslots);
  for (std::size_t slot = 0; slot < nslots; ++slot) {
    next_slots[2 * slot] = children.lower[slot];
    next_slots[2 * slot + 1] = children.upper[slot];
  }
  // Slots whose split was not taken have no child on either side, so their rows drop out.
  std::visit(
      [&](auto& narrow) {
        move_to_children(rows_.data(), streamed_ ? narrow.data() : nullptr, rows_.size(),
                         lower_rows_.data(), next_slots.data());
      },
      narrow_slots_);
}

SortedRows RowPartition::sorted_rows() const noexcept {
  if (!streamed_) {
    return SortedRows{};
  }
  return SortedRows{&sorted_targets_, &narrow_slots_};
}

}  // namespace tacitor
