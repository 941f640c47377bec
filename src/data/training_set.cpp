#include "data/training_set.hpp"

#include <new>
#include <string>
#include <utility>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"

namespace tacitor::data {
namespace {

// Columns [first, first + count) of a window, as a window of its own.
Window column_range(const Window& window, std::size_t first, std::size_t count) {
  Window range = window;
  if (count > 0) {
    range.origin = window.origin + static_cast<std::ptrdiff_t>(first) * window.col_step;
  }
  range.cols = count;
  return range;
}

// The left-in columns of one window, as one or two column ranges side by side.
struct LeftInColumns {
  Window left;
  Window right;
  std::size_t rows() const noexcept { return left.rows; }
  std::size_t cols() const noexcept { return left.cols + right.cols; }
};

LeftInColumns left_in_columns(const Window& window, std::size_t position) {
  const std::size_t width = window.cols;
  if (position == 0) {
    return {column_range(window, 1, width - 1), column_range(window, width, 0)};
  }
  if (position == width - 1) {
    return {column_range(window, 0, width - 1), column_range(window, width, 0)};
  }
  LeftInColumns joined{column_range(window, 0, position),
                       column_range(window, position + 1, width - position - 1)};
  // Both ranges come from the same window, so they always have its rows.
  if (joined.left.rows != joined.right.rows) {
    raise_internal_failure(
        "internal error: entered unreachable code: We made the slices, so they should have the "
        "correct shape.");
  }
  return joined;
}

[[noreturn]] void raise_array_shape_failure() {
  raise_internal_failure(
      "internal error: entered unreachable code: We made the arrays, so they should have the "
      "correct shape.");
}

}  // namespace

std::size_t training_rows(const std::vector<Window>& windows, std::size_t position) {
  if (windows.empty()) {
    raise_internal_failure("a training set needs at least one window");
  }
  const std::size_t width = windows.front().cols;
  if (position >= width) {
    raise_internal_failure("window position " + std::to_string(position) +
                           " is out of range for windows of width " + std::to_string(width));
  }
  std::size_t total_rows = 0;
  for (const Window& window : windows) {
    // The blocks are stacked on top of each other, so they must all be equally wide.
    if (window.cols != width) {
      raise_array_shape_failure();
    }
    total_rows = checked_add(total_rows, window.rows);
  }
  return total_rows;
}

TrainingSet windows_to_train(const std::vector<Window>& windows, std::size_t position) {
  const std::size_t width = windows.empty() ? 0 : windows.front().cols;
  const std::size_t total_rows = training_rows(windows, position);

  // The features are written straight into their final row-major buffer, block after block;
  // this gives the same values as copying every block and then stacking the copies.
  TrainingSet set;
  set.features = Array2(total_rows, width - 1);
  if (total_rows > set.targets.max_size()) {
    throw std::bad_alloc();
  }
  set.targets.resize(total_rows);
  std::size_t row = 0;
  for (const Window& window : windows) {
    const LeftInColumns columns = left_in_columns(window, position);
    if (columns.rows() != window.rows || columns.cols() != width - 1) {
      raise_array_shape_failure();
    }
    for (std::size_t s = 0; s < window.rows; ++s, ++row) {
      float* out = set.features.data() + row * (width - 1);
      for (std::size_t c = 0; c < columns.left.cols; ++c) {
        *out++ = columns.left(s, c);
      }
      for (std::size_t c = 0; c < columns.right.cols; ++c) {
        *out++ = columns.right(s, c);
      }
      set.targets[row] = window(s, position);
    }
  }
  return set;
}

DenseMatrix to_dense_matrix(Array2&& features) {
  DenseMatrix matrix;
  matrix.nrows = features.rows();
  matrix.ncols = features.cols();
  matrix.values = features.release();
  matrix.column_major = false;
  return matrix;
}

}  // namespace tacitor::data
