#pragma once
// Reassembly: averaging the per-window predictions back into series.

#include <cstddef>
#include <vector>

#include "data/array2.hpp"

namespace tacitor::data {

// `targets` is the prediction matrix, (n_windows * S) x w: row k * S + s holds window k of
// series s, column i window position i. Returns the S x L matrix in which every time position
// holds the mean of the predictions of the windows covering it, summed in start-list order in
// float32 and divided by the float32 coverage count. A position no window covers is 0 / 0,
// NaN. A plan that does not fit `targets` or the series length is an internal failure.
Array2 reassemble(const Array2& targets, std::size_t series_count, std::size_t series_length,
                  const std::vector<std::size_t>& starts);

}  // namespace tacitor::data
