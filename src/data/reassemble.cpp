#include "data/reassemble.hpp"

#include <string>

#include "common/internal_failure.hpp"

namespace tacitor::data {

Array2 reassemble(const PredictionColumns& targets, std::size_t series_count,
                  std::size_t series_length, const std::vector<std::size_t>& starts) {
  const std::size_t width = targets.columns.size();
  Array2 output(series_count, series_length);
  std::vector<std::size_t> counts(series_length, 0);
  const std::vector<std::size_t> ones(width, 1);

  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t start = starts[k];
    // Products and sums that overflow cannot name rows of `targets`; they fail the same
    // checks as any other out-of-range block.
    std::size_t sample_start = 0;
    std::size_t sample_end = 0;
    const bool start_overflows = __builtin_mul_overflow(k, series_count, &sample_start);
    if (start_overflows || sample_start >= targets.rows) {
      raise_internal_failure("assertion failed: sample_start < targets.nrows()");
    }
    const bool end_overflows = __builtin_add_overflow(sample_start, series_count, &sample_end);
    if (end_overflows || sample_end > targets.rows) {
      raise_internal_failure("assertion failed: sample_end <= targets.nrows()");
    }
    if (start > series_length || width > series_length - start) {
      raise_internal_failure("window at time position " + std::to_string(start) + " of width " +
                             std::to_string(width) + " reaches past the series length " +
                             std::to_string(series_length));
    }
    // Sums are formed window by window in start-list order, so a position covered by windows
    // 0, 1 and 2 becomes ((p0 + p1) + p2) before the division.
    for (std::size_t s = 0; s < series_count; ++s) {
      const auto r = static_cast<std::ptrdiff_t>(sample_start + s) * targets.row_step;
      float* output_row = output.data() + s * series_length + start;
      for (std::size_t i = 0; i < width; ++i) {
        output_row[i] += targets.columns[i][r];
      }
    }
    for (std::size_t i = 0; i < width; ++i) {
      counts[start + i] += ones[i];
    }
  }

  // An uncovered position has the count 0 and becomes 0 / 0, NaN, in every series.
  std::vector<float> divisors(series_length);
  for (std::size_t j = 0; j < series_length; ++j) {
    divisors[j] = static_cast<float>(counts[j]);
  }
  for (std::size_t s = 0; s < series_count; ++s) {
    float* output_row = output.data() + s * series_length;
    for (std::size_t j = 0; j < series_length; ++j) {
      output_row[j] /= divisors[j];
    }
  }
  return output;
}

Array2 reassemble(const Array2& targets, std::size_t series_count, std::size_t series_length,
                  const std::vector<std::size_t>& starts) {
  PredictionColumns view;
  view.rows = targets.rows();
  view.row_step = targets.row_step();
  for (std::size_t i = 0; i < targets.cols(); ++i) {
    view.columns.push_back(targets.data() + i);
  }
  return reassemble(view, series_count, series_length, starts);
}

}  // namespace tacitor::data
