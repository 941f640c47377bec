#include "models/linear_regression.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"
#include "data/training_set.hpp"
#include "data/windows.hpp"
#include "linalg/traits/svd.hpp"

namespace tacitor::models {
namespace {

// Rows predicted side by side: their sums are independent, so they overlap in the pipeline
// instead of each waiting on its own chain of additions.
constexpr std::size_t kPredictRows = 8;

}  // namespace

Expected<LinearRegression, Failed> WindowRoute<LinearRegression>::fit(
    const std::vector<data::Window>& windows, std::size_t position,
    const LinearRegressionParameters& parameters, ScratchPool<Scratch>& scratch) {
  // Only the byte value 0 selects QR, as in LinearRegression::fit.
  if (static_cast<std::uint8_t>(parameters.method) == 0) {
    data::TrainingSet set = data::windows_to_train(windows, position);
    const DenseMatrix x = data::to_dense_matrix(std::move(set.features));
    return LinearRegression::fit(x, VectorView(set.targets), parameters);
  }
  const auto buffer = scratch.acquire();
  const data::DesignMatrix design = data::build_design_matrix(windows, position, *buffer);
  svd_solve_in_place({design.values, design.rows, design.cols, design.stride}, design.targets);
  // The solution's last element is the weight of the ones column: the intercept.
  const std::size_t features = design.cols - 1;
  LinearRegression model;
  model.coefficients =
      DenseMatrix::create(features, 1,
                          std::vector<float>(design.targets, design.targets + features), false)
          .value();
  model.intercept = design.targets[features];
  return model;
}

Expected<std::vector<float>, Failed> WindowRoute<LinearRegression>::predict(
    const LinearRegression& model, const std::vector<data::Window>& windows, std::size_t position) {
  if (!model.coefficients || !model.intercept) {
    return unexpected(
        Failed{FailedError::PredictFailed, "The model has not been fitted: no coefficients"});
  }
  if (windows.empty()) {
    raise_internal_failure("a training set needs at least one window");
  }
  const std::size_t width = windows.front().cols;
  std::size_t rows = 0;
  for (const data::Window& window : windows) {
    rows = checked_add(rows, window.rows);
  }
  const std::vector<float>& weights = model.coefficients->values;
  const std::size_t features = weights.size();
  if (position >= width || features + 1 != width) {
    raise_internal_failure("Can't multiply " + std::to_string(rows) + "x" +
                           std::to_string(width == 0 ? 0 : width - 1) + " and " +
                           std::to_string(features) + "x1 matrices");
  }
  const float intercept = *model.intercept;
  // Feature j of a row is window position j, or j + 1 from the left-out position on.
  std::vector<std::size_t> columns(features);
  for (std::size_t j = 0; j < features; ++j) {
    columns[j] = j < position ? j : j + 1;
  }
  std::vector<float> predictions(rows);
  std::size_t row = 0;
  for (const data::Window& window : windows) {
    if (window.cols != width) {
      raise_internal_failure(
          "internal error: entered unreachable code: We made the arrays, so they should have "
          "the correct shape.");
    }
    std::size_t s = 0;
    for (; s + kPredictRows <= window.rows; s += kPredictRows, row += kPredictRows) {
      float sums[kPredictRows] = {};
      for (std::size_t j = 0; j < features; ++j) {
        for (std::size_t b = 0; b < kPredictRows; ++b) {
          const float product = window(s + b, columns[j]) * weights[j];
          sums[b] = sums[b] + product;
        }
      }
      for (std::size_t b = 0; b < kPredictRows; ++b) {
        predictions[row + b] = intercept + sums[b];
      }
    }
    for (; s < window.rows; ++s, ++row) {
      float sum = 0.0f;
      for (std::size_t j = 0; j < features; ++j) {
        const float product = window(s, columns[j]) * weights[j];
        sum = sum + product;
      }
      predictions[row] = intercept + sum;
    }
  }
  return predictions;
}

}  // namespace tacitor::models

namespace tacitor::models {

Expected<LRModel, std::string> LRModel::train(const data::Array2& samples, std::size_t window_size,
                                              std::size_t stride,
                                              const LinearRegressionParameters& parameters) {
  const std::optional<SampleScaling> scaling = choose_plan_scaling(samples, window_size, stride);
  auto plain = scaling
                   ? Plain::train(scale_samples(*scaling, samples), window_size, stride, parameters)
                   : Plain::train(samples, window_size, stride, parameters);
  if (!plain) {
    return unexpected(std::move(plain).error());
  }
  LRModel model;
  static_cast<Plain&>(model) = std::move(plain).value();
  model.scaling = scaling;
  return model;
}

Expected<data::Array2, std::string> LRModel::denoise(const data::Array2& samples,
                                                     std::size_t stride) const {
  if (!scaling) {
    return Plain::denoise(samples, stride);
  }
  auto output = Plain::denoise(scale_samples(*scaling, samples), stride);
  if (output) {
    unscale_output(*scaling, *output);
  }
  return output;
}

}  // namespace tacitor::models
