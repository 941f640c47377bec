#include "linear/gram_matrix.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/checked_size.hpp"
#include "common/expected.hpp"
#include "common/internal_failure.hpp"
#include "pool/parallel_map.hpp"

namespace tacitor::linear {
namespace {

// Rows copied to a column-major double panel at a time: small enough that the panel stays in
// the cache while every pair of its columns is multiplied.
constexpr std::size_t kPanelRows = 256;
// Output tile of the pair products: 4 x 4 running sums stay in registers while a panel's rows
// stream past.
constexpr std::size_t kTile = 4;
// Blocks handed to the pool at once.
constexpr std::size_t kBlocksPerGroup = 64;

// Training row r of the plan: window r / S, series r % S (S series in every window).
struct RowSource {
  const std::vector<data::Window>* windows;
  std::size_t series;

  const float* row(std::size_t r, std::ptrdiff_t& step) const noexcept {
    const data::Window& window = (*windows)[r / series];
    step = window.col_step;
    return window.origin + static_cast<std::ptrdiff_t>(r % series) * window.row_step;
  }
};

// Adds panel column a times panel column b, row by row in increasing order, to the sums of
// the tile with top-left corner (a0, b0): sums[a][b] = sums[a][b] + z[r][a] * z[r][b].
void add_tile(const double* panel, std::size_t panel_rows, std::size_t a0, std::size_t b0,
              std::size_t size, std::vector<double>& sums) {
  const std::size_t a_end = std::min(a0 + kTile, size);
  const std::size_t b_end = std::min(b0 + kTile, size);
  if (a_end - a0 == kTile && b_end - b0 == kTile) {
    double acc[kTile][kTile];
    for (std::size_t a = 0; a < kTile; ++a) {
      for (std::size_t b = 0; b < kTile; ++b) {
        acc[a][b] = sums[(a0 + a) * size + b0 + b];
      }
    }
    const double* za[kTile];
    const double* zb[kTile];
    for (std::size_t t = 0; t < kTile; ++t) {
      za[t] = panel + (a0 + t) * kPanelRows;
      zb[t] = panel + (b0 + t) * kPanelRows;
    }
    for (std::size_t r = 0; r < panel_rows; ++r) {
      for (std::size_t a = 0; a < kTile; ++a) {
        const double x = za[a][r];
        for (std::size_t b = 0; b < kTile; ++b) {
          const double product = x * zb[b][r];
          acc[a][b] = acc[a][b] + product;
        }
      }
    }
    for (std::size_t a = 0; a < kTile; ++a) {
      for (std::size_t b = 0; b < kTile; ++b) {
        sums[(a0 + a) * size + b0 + b] = acc[a][b];
      }
    }
    return;
  }
  for (std::size_t a = a0; a < a_end; ++a) {
    for (std::size_t b = b0; b < b_end; ++b) {
      double sum = sums[a * size + b];
      const double* za = panel + a * kPanelRows;
      const double* zb = panel + b * kPanelRows;
      for (std::size_t r = 0; r < panel_rows; ++r) {
        const double product = za[r] * zb[r];
        sum = sum + product;
      }
      sums[a * size + b] = sum;
    }
  }
}

// The sums of training rows [begin, end), upper triangle by tiles (entries below the diagonal
// inside diagonal tiles are summed too, and ignored).
std::vector<double> block_sums(const RowSource& source, std::size_t width, std::size_t begin,
                               std::size_t end) {
  const std::size_t size = width + 1;
  std::vector<double> sums(size * size, 0.0);
  std::vector<double> panel(size * kPanelRows);
  for (std::size_t first = begin; first < end; first += kPanelRows) {
    const std::size_t count = std::min(kPanelRows, end - first);
    for (std::size_t i = 0; i < count; ++i) {
      std::ptrdiff_t step = 0;
      const float* values = source.row(first + i, step);
      for (std::size_t c = 0; c < width; ++c) {
        panel[c * kPanelRows + i] = values[static_cast<std::ptrdiff_t>(c) * step];
      }
      panel[width * kPanelRows + i] = 1.0;
    }
    for (std::size_t a0 = 0; a0 < size; a0 += kTile) {
      for (std::size_t b0 = a0; b0 < size; b0 += kTile) {
        add_tile(panel.data(), count, a0, b0, size, sums);
      }
    }
  }
  return sums;
}

}  // namespace

GramMatrix window_gram(const std::vector<data::Window>& windows) {
  GramMatrix gram;
  if (windows.empty()) {
    gram.size = 1;
    gram.values.assign(1, 0.0);
    return gram;
  }
  const std::size_t width = windows.front().cols;
  const std::size_t series = windows.front().rows;
  for (const data::Window& window : windows) {
    if (window.cols != width || window.rows != series) {
      raise_internal_failure("the windows of one plan must share their shape");
    }
  }
  gram.size = width + 1;
  gram.rows = checked_mul(windows.size(), series);
  gram.values.assign(checked_mul(gram.size, gram.size), 0.0);
  if (gram.rows == 0) {
    return gram;
  }
  const RowSource source{&windows, series};
  const std::size_t blocks = (gram.rows + kGramBlockRows - 1) / kGramBlockRows;
  // Blocks go to the pool a group at a time, so that the block sums held at once stay few
  // however many rows there are; they join the total in block order all the same.
  for (std::size_t group = 0; group < blocks; group += kBlocksPerGroup) {
    const std::size_t count = std::min(kBlocksPerGroup, blocks - group);
    auto partial = pool::parallel_try_map(
        count, [&](std::size_t index) -> Expected<std::vector<double>, std::string> {
          const std::size_t begin = (group + index) * kGramBlockRows;
          return block_sums(source, width, begin, std::min(begin + kGramBlockRows, gram.rows));
        });
    if (!partial) {
      raise_internal_failure("the Gram matrix's blocks failed: " + partial.error());
    }
    for (const std::vector<double>& sums : *partial) {
      for (std::size_t a = 0; a < gram.size; ++a) {
        for (std::size_t b = a; b < gram.size; ++b) {
          const std::size_t at = a * gram.size + b;
          gram.values[at] = gram.values[at] + sums[at];
        }
      }
    }
  }
  for (std::size_t a = 0; a < gram.size; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      gram.values[a * gram.size + b] = gram.values[b * gram.size + a];
    }
  }
  return gram;
}

}  // namespace tacitor::linear
