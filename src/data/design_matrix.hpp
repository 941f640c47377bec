#pragma once
// The least-squares system of one window position, built straight from the windows.
//
// Column j < w - 1 holds feature j of every training row (the training set's column j, in
// training row order), column w - 1 holds ones for the intercept, and the targets go to a
// vector of their own: the same values as the training set followed by the appended ones
// column, written once, column-major, without the row-major copy in between.

#include <cstddef>
#include <memory>
#include <vector>

#include "data/windows.hpp"

namespace tacitor::data {

// Distance between the columns of a design matrix of `rows` rows. When the columns would
// start a multiple of 4 KiB apart, the same elements of all columns would fall into the same
// cache sets and evict each other; one cache line of padding avoids that.
std::size_t padded_column_stride(std::size_t rows);

// Storage for design matrices, kept by one worker from one position to the next so that
// large buffers are not freed, reallocated and faulted in again. It only grows; new storage
// is not zero-filled, since every element is written before it is read.
class DesignBuffer {
 public:
  float* columns(std::size_t count);
  float* targets(std::size_t count);

 private:
  std::unique_ptr<float[]> columns_;
  std::size_t columns_capacity_ = 0;
  std::unique_ptr<float[]> targets_;
  std::size_t targets_capacity_ = 0;
};

struct DesignMatrix {
  float* values = nullptr;  // column-major, columns `stride` floats apart
  std::size_t rows = 0;     // n_windows * S
  std::size_t cols = 0;     // w: the w - 1 features and the ones column
  std::size_t stride = 0;
  float* targets = nullptr;  // rows values
};

// The design matrix and targets of window position `position` (at least one window, all of
// the first one's width; position < w), in storage of `buffer`, valid until its next use.
DesignMatrix build_design_matrix(const std::vector<Window>& windows, std::size_t position,
                                 DesignBuffer& buffer);

}  // namespace tacitor::data
