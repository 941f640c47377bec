#pragma once
// LRModel: the model set of least-squares linear regressions.
//
// Its estimators fit and predict straight from the windows: each position's design matrix
// (features and the ones column) is written once, column-major, into storage that a worker
// reuses from one position to the next, and predictions read the sample matrix through the
// windows instead of a second training set. The QR method takes the general route.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "data/array2.hpp"
#include "data/design_matrix.hpp"
#include "data/windows.hpp"
#include "linear/linear_regression.hpp"
#include "models/classical.hpp"
#include "models/sample_scaling.hpp"

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

// The estimators are fitted on the samples in the units `train` chose for them (see
// sample_scaling.hpp): the samples as given, or shifted and scaled when their units would
// cost the fits their precision. The choice belongs to the trained set, so `denoise` applies
// the same change of units to whatever samples it is given, and maps its output back.
struct LRModel : Classical<LinearRegression, LinearRegressionParameters> {
  using Plain = Classical<LinearRegression, LinearRegressionParameters>;

  // Nothing when the estimators were fitted on the samples as given.
  std::optional<SampleScaling> scaling;

  static Expected<LRModel, std::string> train(const data::Array2& samples, std::size_t window_size,
                                              std::size_t stride,
                                              const LinearRegressionParameters& parameters);

  Expected<data::Array2, std::string> denoise(const data::Array2& samples,
                                              std::size_t stride) const;
};

}  // namespace tacitor::models
