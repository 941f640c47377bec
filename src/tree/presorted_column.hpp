#pragma once
// One feature column sorted once, for every tree that splits on it.
//
// `order[k]` is the row holding the k-th smallest value as `argsort_pairs` orders the column, and
// `values[k]` is that value, so a walk over the column reads both in sequence; `row_values[r]`
// is the value of row r, for the passes that go through the rows in row order. A column depends
// only on the values in row order, so one presorted column can serve several fits that share
// the column (the window positions of one call); it is read-only once built.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tacitor {

// Row indices of a fit are 32-bit: half the memory of size_t in every sorted column and in
// the per-row bookkeeping of the growth.
using TreeRow = std::uint32_t;

struct PresortedColumn {
  std::vector<TreeRow> order;
  std::vector<float> values;
  std::vector<float> row_values;

  std::size_t size() const noexcept { return order.size(); }
};

// Sorts `values` (the column in row order) with `argsort_pairs`. A column of more rows than a
// 32-bit index addresses is refused as exhausted memory (std::bad_alloc): at 4 bytes a value it
// would already need more than 16 GiB per column.
PresortedColumn presort_column(std::vector<float> values);

}  // namespace tacitor
