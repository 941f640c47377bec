#pragma once
// Array2: an owned, row-major two-dimensional float32 array.
//
// It holds the sample matrix (series x time), the prediction matrix and the output matrix.
// The buffer is a std::vector so that ownership of the result can pass to the caller (the
// module boundary hands it to NumPy) without a copy.

#include <cstddef>
#include <utility>
#include <vector>

#include "common/checked_size.hpp"

namespace tacitor::data {

class Array2 {
 public:
  Array2() = default;
  // rows x cols elements, all `value`. A size that cannot exist throws std::bad_alloc.
  Array2(std::size_t rows, std::size_t cols, float value = 0.0f)
      : rows_(rows), cols_(cols), values_(checked_mul(rows, cols), value) {}

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  std::size_t size() const noexcept { return values_.size(); }

  // Element (r, c); the caller keeps r < rows() and c < cols().
  float& operator()(std::size_t r, std::size_t c) noexcept { return values_[r * cols_ + c]; }
  float operator()(std::size_t r, std::size_t c) const noexcept { return values_[r * cols_ + c]; }

  float* data() noexcept { return values_.data(); }
  const float* data() const noexcept { return values_.data(); }
  // Steps between neighbouring elements, in elements.
  std::ptrdiff_t row_step() const noexcept { return static_cast<std::ptrdiff_t>(cols_); }
  std::ptrdiff_t col_step() const noexcept { return 1; }

  // Gives up the buffer (row-major, rows() * cols() values); the array becomes empty.
  std::vector<float> release() noexcept {
    rows_ = 0;
    cols_ = 0;
    return std::exchange(values_, {});
  }

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<float> values_;
};

}  // namespace tacitor::data
