#pragma once
// Reassembly: averaging the per-window predictions back into series.

#include <cstddef>
#include <vector>

#include "data/array2.hpp"

namespace tacitor::data {

// The prediction matrix, (n_windows * S) x w, read in place: row k * S + s holds window k of
// series s, column i window position i, and element (r, i) is columns[i][r * row_step]. So
// both a row-major matrix and w separate prediction vectors can be read without a copy.
struct PredictionColumns {
  std::vector<const float*> columns;
  std::size_t rows = 0;
  std::ptrdiff_t row_step = 1;
};

// Returns the S x L matrix in which every time position holds the mean of the predictions of
// the windows covering it, summed in start-list order in float32 and divided by the float32
// coverage count. A position no window covers is 0 / 0, NaN. A plan that does not fit
// `targets` or the series length is an internal failure.
Array2 reassemble(const PredictionColumns& targets, std::size_t series_count,
                  std::size_t series_length, const std::vector<std::size_t>& starts);

// The same for a row-major prediction matrix.
Array2 reassemble(const Array2& targets, std::size_t series_count, std::size_t series_length,
                  const std::vector<std::size_t>& starts);

}  // namespace tacitor::data
