#pragma once
// The denoising pipeline written out plainly around a given estimator: the windows, the
// training set of every window position (row k * S + s is window k of series s), one fit per
// position that predicts its own training rows, and the float32 average of the overlapping
// windows (summed in window order, then divided by the count). The model sets must give its
// bits.

#include <cstddef>
#include <functional>
#include <vector>

#include "data/array2.hpp"
#include "linalg/basic/matrix.hpp"

namespace tacitor::testing {

// Fits on (x, y) and returns the predictions of x's rows.
using FitPredict =
    std::function<std::vector<float>(const DenseMatrix& x, const std::vector<float>& y)>;

inline data::Array2 plain_denoise(const data::Array2& samples, std::size_t window,
                                  std::size_t stride, const FitPredict& fit_predict) {
  const std::size_t series = samples.rows(), length = samples.cols();
  std::vector<std::size_t> starts;
  for (std::size_t t = 0; t < length - window; t += stride) {
    starts.push_back(t);
  }
  starts.push_back(length - window);
  const std::size_t nrows = starts.size() * series;
  std::vector<std::vector<float>> predictions(window);
  for (std::size_t i = 0; i < window; ++i) {
    DenseMatrix x = DenseMatrix::zeros(nrows, window - 1, false);
    std::vector<float> y(nrows);
    for (std::size_t r = 0; r < nrows; ++r) {
      const std::size_t s = r % series, start = starts[r / series];
      for (std::size_t c = 0, feature = 0; c < window; ++c) {
        if (c != i) {
          x.at(r, feature++) = samples(s, start + c);
        }
      }
      y[r] = samples(s, start + i);
    }
    predictions[i] = fit_predict(x, y);
  }
  data::Array2 sums(series, length);
  std::vector<float> counts(length, 0.0f);
  for (std::size_t k = 0; k < starts.size(); ++k) {
    for (std::size_t i = 0; i < window; ++i) {
      counts[starts[k] + i] += 1.0f;
      for (std::size_t s = 0; s < series; ++s) {
        sums(s, starts[k] + i) += predictions[i][k * series + s];
      }
    }
  }
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      sums(s, t) = sums(s, t) / counts[t];
    }
  }
  return sums;
}

}  // namespace tacitor::testing
