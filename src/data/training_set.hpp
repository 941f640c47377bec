#pragma once
// Training sets: for one window position i, every (window, series) pair of a plan becomes one
// training row whose features are the window's values with position i left out and whose
// target is the value at position i.
//
// Row r stands for window r / S and series r mod S: the S rows of window 0 first, then those
// of window 1, and so on.

#include <cstddef>
#include <vector>

#include "data/array2.hpp"
#include "data/windows.hpp"
#include "linalg/basic/matrix.hpp"

namespace tacitor::data {

struct TrainingSet {
  // (n_windows * S) x (w - 1), row-major.
  Array2 features;
  // n_windows * S values.
  std::vector<float> targets;
};

// The number of training rows of window position `position` over `windows`, after checking
// what every training set of them needs: at least one window, position < w (the width of the
// first) and windows of equal widths; anything else is an internal failure.
std::size_t training_rows(const std::vector<Window>& windows, std::size_t position);

// The training set of window position `position` over `windows` (at least one window; the
// width w is that of the first). position >= w and windows of differing widths are internal
// failures.
TrainingSet windows_to_train(const std::vector<Window>& windows, std::size_t position);

// The estimators' row-major DenseMatrix holding the same values as `features`; the buffer is
// moved, not copied.
DenseMatrix to_dense_matrix(Array2&& features);

}  // namespace tacitor::data
