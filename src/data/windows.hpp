#pragma once
// Window planning: cutting the sample matrix (series x time) into overlapping windows.
//
// A window is a view of all series over `window_size` consecutive time positions; no sample
// data is copied. The starts are every multiple of `stride` strictly below
// span = L - window_size, followed by span itself, so the last window always ends at the last
// time position.

#include <cstddef>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "data/array2.hpp"

namespace tacitor::data {

// Read-only view of `rows` series over `cols` consecutive time positions of a sample matrix.
// Column c of the window is window position c. Valid while the viewed matrix lives.
struct Window {
  // Element (0, start) of the viewed matrix.
  const float* origin = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  // Steps between neighbouring elements of the viewed matrix, in elements.
  std::ptrdiff_t row_step = 0;
  std::ptrdiff_t col_step = 0;

  // Element (r, c) of the window; the caller keeps r < rows and c < cols.
  float operator()(std::size_t r, std::size_t c) const noexcept {
    return origin[static_cast<std::ptrdiff_t>(r) * row_step +
                  static_cast<std::ptrdiff_t>(c) * col_step];
  }
};

// The window list and the start list: window k begins at time position starts[k].
struct WindowPlan {
  std::vector<Window> windows;
  std::vector<std::size_t> starts;
};

// The start list alone, for a series of `length` positions. `stride` 0 is the internal failure
// "attempt to calculate the remainder with a divisor of zero"; the caller keeps
// window_size <= length.
std::vector<std::size_t> window_starts(std::size_t length, std::size_t window_size,
                                       std::size_t stride);

// Plans the windows over `samples`. `stride` 0 is an internal failure, checked first; a
// `window_size` larger than the series length is the error text
// "window_size (W) is larger than the series length (L)", and no window is formed.
Expected<WindowPlan, std::string> create_windows(const Array2& samples, std::size_t window_size,
                                                 std::size_t stride);

}  // namespace tacitor::data
