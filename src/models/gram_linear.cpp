#include "models/gram_linear.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/finite_samples.hpp"
#include "data/windows.hpp"
#include "linear/gram_matrix.hpp"
#include "linear/gram_solve.hpp"
#include "pool/parallel_map.hpp"

namespace tacitor::models {
namespace {

Expected<LRModel::Plain, std::string> fit_positions(const data::Array2& samples,
                                                    std::size_t window_size, std::size_t stride) {
  auto plan = data::create_windows(samples, window_size, stride);
  if (!plan) {
    return unexpected(std::move(plan).error());
  }
  if (window_size > 0) {
    if (std::optional<std::string> error = data::non_finite_error(samples)) {
      return unexpected(std::move(*error));
    }
  }
  const linear::GramMatrix gram = linear::window_gram(plan->windows);
  // One decomposition for all positions when the windows are well-conditioned; otherwise each
  // position applies the rank rule to its own sub-block.
  const auto shared = linear::gram_solve_all(gram);
  auto fitted = pool::parallel_try_map(
      window_size, [&](std::size_t position) -> Expected<LinearRegression, std::string> {
        const std::vector<double> solution =
            shared ? (*shared)[position] : linear::gram_solve(gram, position);
        const std::size_t features = window_size - 1;
        std::vector<float> weights(features);
        for (std::size_t j = 0; j < features; ++j) {
          weights[j] = static_cast<float>(solution[j]);
        }
        LinearRegression model;
        model.coefficients = DenseMatrix::create(features, 1, std::move(weights), false).value();
        model.intercept = static_cast<float>(solution[features]);
        return model;
      });
  if (!fitted) {
    return unexpected(std::move(fitted).error());
  }
  LRModel::Plain set;
  set.estimators = std::move(fitted).value();
  set.window_size = window_size;
  return set;
}

}  // namespace

Expected<LRModel, std::string> train_by_gram(const data::Array2& samples, std::size_t window_size,
                                             std::size_t stride) {
  // The same units as the exact route: its rank rule is the one applied here, and the
  // predictions run in float32 like its own.
  const std::optional<SampleScaling> scaling = choose_plan_scaling(samples, window_size, stride);
  auto plain = scaling ? fit_positions(scale_samples(*scaling, samples), window_size, stride)
                       : fit_positions(samples, window_size, stride);
  if (!plain) {
    return unexpected(std::move(plain).error());
  }
  LRModel model;
  static_cast<LRModel::Plain&>(model) = std::move(plain).value();
  model.scaling = scaling;
  return model;
}

}  // namespace tacitor::models
