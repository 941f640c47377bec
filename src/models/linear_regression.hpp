#pragma once
// LRModel: the model set of least-squares linear regressions.
//
// Its estimators fit and predict straight from the windows: each position's design matrix
// (features and the ones column) is written once, column-major, into storage that a worker
// reuses from one position to the next, and predictions read the sample matrix through the
// windows instead of a second training set. The QR method takes the general route.

#include <cstddef>
#include <vector>

#include "data/design_matrix.hpp"
#include "data/windows.hpp"
#include "linear/linear_regression.hpp"
#include "models/classical.hpp"

namespace tacitor::models {

template <>
struct WindowRoute<LinearRegression> {
  static constexpr bool available = true;
  using Scratch = data::DesignBuffer;

  static Expected<LinearRegression, Failed> fit(const std::vector<data::Window>& windows,
                                                std::size_t position,
                                                const LinearRegressionParameters& parameters,
                                                ScratchPool<Scratch>& scratch);

  // (sum_j feature_j * w_j) + intercept for every training row of `position`, the sum from
  // +0.0 in increasing j.
  static Expected<std::vector<float>, Failed> predict(const LinearRegression& model,
                                                      const std::vector<data::Window>& windows,
                                                      std::size_t position);
};

using LRModel = Classical<LinearRegression, LinearRegressionParameters>;

}  // namespace tacitor::models
