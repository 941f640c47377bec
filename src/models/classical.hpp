#pragma once
// Classical: a model set of one estimator per window position.
//
// `train` plans the windows, refuses samples that hold NaN or infinite values, and fits, for
// every window position i, an estimator that predicts the value at position i of a window
// from the window's other values, with every (window, series) pair as a training row.
// `denoise` plans the same windows again, lets every estimator predict its own training rows
// and averages the overlapping windows back into series. Both loops run position by position
// on the worker pool; results are collected in position order, so the output does not depend
// on scheduling.
//
// The estimator type provides
//   static Expected<Estimator, Failed> fit(const DenseMatrix&, VectorView, const Parameters&);
//   Expected<std::vector<float>, Failed> predict(const DenseMatrix&) const;

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"
#include "common/internal_failure.hpp"
#include "data/array2.hpp"
#include "data/finite_samples.hpp"
#include "data/reassemble.hpp"
#include "data/training_set.hpp"
#include "data/windows.hpp"
#include "linalg/basic/matrix.hpp"
#include "linalg/basic/vector_view.hpp"
#include "models/scratch_pool.hpp"
#include "pool/parallel_map.hpp"

namespace tacitor::models {

// Equally long vectors as the columns of the prediction matrix, read in place: stacking them
// into one matrix would hold every prediction twice. No vectors, or vectors of different
// lengths, give the shape error's text.
Expected<data::PredictionColumns, std::string> as_columns(
    const std::vector<std::vector<float>>& columns);

// How `train` fits one position's estimator. By default every position builds its own
// training set and fits on it; an estimator type may specialise this to share work between
// the positions of one call (built once per call, before the fits, on the calling thread).
template <class Estimator, class Parameters>
struct PositionFitter {
  explicit PositionFitter(const std::vector<data::Window>& /*windows*/) {}

  Expected<Estimator, Failed> fit(const std::vector<data::Window>& windows, std::size_t position,
                                  const Parameters& parameters) const {
    data::TrainingSet set = data::windows_to_train(windows, position);
    const DenseMatrix x = data::to_dense_matrix(std::move(set.features));
    return Estimator::fit(x, VectorView(set.targets), parameters);
  }
};

// An estimator may offer a direct route from the windows to a fit and to its predictions that
// skips the row-major training set, by specialising this with `available` true and
//   static Expected<Estimator, Failed> fit(const std::vector<data::Window>&, std::size_t
//       position, const Parameters&, ScratchPool<Scratch>&);
// where Scratch is work storage that one fit at a time uses and the next fit reuses.
//   static Expected<std::vector<float>, Failed> predict(const Estimator&,
//       const std::vector<data::Window>&, std::size_t position);
// It must give the same bits as fitting and predicting the training set.
template <class Estimator>
struct WindowRoute {
  static constexpr bool available = false;
  struct Scratch {};
};

template <class Estimator, class Parameters>
struct Classical {
  // Element i was fitted on the training set of window position i.
  std::vector<Estimator> estimators;
  std::size_t window_size = 0;

  static Expected<Classical, std::string> train(const data::Array2& samples,
                                                std::size_t window_size, std::size_t stride,
                                                const Parameters& parameters) {
    auto plan = data::create_windows(samples, window_size, stride);
    if (!plan) {
      return unexpected(std::move(plan).error());
    }
    // Checked after the plan, so that the window errors keep their precedence, and not for
    // window_size 0, whose set fails to denoise with its own error whatever the values are.
    if (window_size > 0) {
      if (std::optional<std::string> error = data::non_finite_error(samples)) {
        return unexpected(std::move(*error));
      }
    }
    const std::vector<data::Window>& windows = plan->windows;
    using Route = WindowRoute<Estimator>;
    ScratchPool<typename Route::Scratch> scratch;
    const PositionFitter<Estimator, Parameters> fitter(windows);
    auto fitted = pool::parallel_try_map(
        window_size, [&](std::size_t position) -> Expected<Estimator, std::string> {
          const Parameters own_parameters = parameters;
          auto estimator = [&] {
            if constexpr (Route::available) {
              return Route::fit(windows, position, own_parameters, scratch);
            } else {
              return fitter.fit(windows, position, own_parameters);
            }
          }();
          if (!estimator) {
            return unexpected(estimator.error().to_string());
          }
          return std::move(estimator).value();
        });
    if (!fitted) {
      return unexpected(std::move(fitted).error());
    }
    Classical model;
    model.estimators = std::move(fitted).value();
    model.window_size = window_size;
    return model;
  }

  Expected<data::Array2, std::string> denoise(const data::Array2& samples,
                                              std::size_t stride) const {
    if (estimators.size() != window_size) {
      raise_internal_failure("model set holds " + std::to_string(estimators.size()) +
                             " estimators for window size " + std::to_string(window_size));
    }
    auto plan = data::create_windows(samples, window_size, stride);
    if (!plan) {
      return unexpected(std::move(plan).error());
    }
    const std::vector<data::Window>& windows = plan->windows;
    auto predicted = pool::parallel_try_map(
        window_size, [&](std::size_t position) -> Expected<std::vector<float>, std::string> {
          auto values = [&] {
            if constexpr (WindowRoute<Estimator>::available) {
              return WindowRoute<Estimator>::predict(estimators[position], windows, position);
            } else {
              data::TrainingSet set = data::windows_to_train(windows, position);
              set.targets = {};
              const DenseMatrix x = data::to_dense_matrix(std::move(set.features));
              return estimators[position].predict(x);
            }
          }();
          if (!values) {
            return unexpected(values.error().to_string());
          }
          return std::move(values).value();
        });
    if (!predicted) {
      return unexpected(std::move(predicted).error());
    }
    auto targets = as_columns(*predicted);
    if (!targets) {
      return unexpected(std::move(targets).error());
    }
    return data::reassemble(*targets, samples.rows(), samples.cols(), plan->starts);
  }
};

}  // namespace tacitor::models
