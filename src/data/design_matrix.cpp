#include "data/design_matrix.hpp"

#include <algorithm>

#include "common/checked_size.hpp"
#include "data/training_set.hpp"

namespace tacitor::data {
namespace {

// Columns a multiple of this many bytes apart share their cache sets.
constexpr std::size_t kAliasingBytes = 4096;
constexpr std::size_t kCacheLineFloats = 64 / sizeof(float);
// Series per tile when the design matrix is written: 64 window rows of up to 64 values are
// 16 KiB, which stay in the L1 cache.
constexpr std::size_t kTileRows = 64;

std::unique_ptr<float[]> grow(std::unique_ptr<float[]> storage, std::size_t& capacity,
                              std::size_t count) {
  if (count <= capacity) {
    return storage;
  }
  storage.reset();
  storage.reset(new float[count]);
  capacity = count;
  return storage;
}

}  // namespace

std::size_t padded_column_stride(std::size_t rows) {
  if (rows != 0 && (rows * sizeof(float)) % kAliasingBytes == 0) {
    return checked_add(rows, kCacheLineFloats);
  }
  return rows;
}

float* DesignBuffer::columns(std::size_t count) {
  columns_ = grow(std::move(columns_), columns_capacity_, count);
  return columns_.get();
}

float* DesignBuffer::targets(std::size_t count) {
  targets_ = grow(std::move(targets_), targets_capacity_, count);
  return targets_.get();
}

DesignMatrix build_design_matrix(const std::vector<Window>& windows, std::size_t position,
                                 DesignBuffer& buffer) {
  const std::size_t rows = training_rows(windows, position);
  const std::size_t width = windows.front().cols;
  DesignMatrix design;
  design.rows = rows;
  design.cols = width;
  design.stride = padded_column_stride(rows);
  design.values = buffer.columns(checked_mul(design.stride, width));
  design.targets = buffer.targets(rows);

  // A tile of up to kTileRows series of one window at a time: its window rows stay in cache
  // while every feature column receives one contiguous run of values, so the writes go to
  // few pages at a time instead of one element to each of w columns per row.
  std::size_t row = 0;
  for (const Window& window : windows) {
    for (std::size_t s0 = 0; s0 < window.rows; s0 += kTileRows) {
      const std::size_t tile = std::min(kTileRows, window.rows - s0);
      for (std::size_t c = 0; c < width; ++c) {
        float* out = c == position
                         ? design.targets + row
                         : design.values + (c < position ? c : c - 1) * design.stride + row;
        const float* in = window.origin + static_cast<std::ptrdiff_t>(s0) * window.row_step +
                          static_cast<std::ptrdiff_t>(c) * window.col_step;
        for (std::size_t t = 0; t < tile; ++t) {
          out[t] = in[static_cast<std::ptrdiff_t>(t) * window.row_step];
        }
      }
      row += tile;
    }
  }
  float* const ones = design.values + (width - 1) * design.stride;
  std::fill(ones, ones + rows, 1.0f);
  return design;
}

}  // namespace tacitor::data
