#include "models/classical.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"
#include "common/internal_failure.hpp"
#include "data/array2.hpp"
#include "data/training_set.hpp"
#include "data/windows.hpp"
#include "linalg/basic/matrix.hpp"
#include "linalg/basic/vector_view.hpp"
#include "models/decision_tree.hpp"
#include "models/linear_regression.hpp"

namespace tacitor::models {
namespace {

struct EchoParameters {
  // A fit whose first target equals this value fails; a predict on it fails when
  // `fail_predict` is set.
  float fail_on_first_target = -1.0f;
  bool fail_predict = false;
};

// Remembers its training set and "predicts" its own targets, so that a denoise with it
// reproduces the samples wherever the pipeline routes every prediction to the right place.
struct EchoEstimator {
  DenseMatrix features;
  std::vector<float> targets;
  EchoParameters parameters;

  static Expected<EchoEstimator, Failed> fit(const DenseMatrix& x, VectorView y,
                                             const EchoParameters& parameters) {
    if (y.size() > 0 && y[0] == parameters.fail_on_first_target) {
      return unexpected(Failed::fit("refusing target " + std::to_string(y[0])));
    }
    EchoEstimator estimator{x, {}, parameters};
    for (std::size_t r = 0; r < y.size(); ++r) {
      estimator.targets.push_back(y[r]);
    }
    return estimator;
  }

  Expected<std::vector<float>, Failed> predict(const DenseMatrix& x) const {
    if (parameters.fail_predict) {
      return unexpected(Failed{FailedError::PredictFailed, "no predictions today"});
    }
    // Prediction must see exactly the matrix the fit saw.
    if (x.nrows != features.nrows || x.ncols != features.ncols ||
        x.column_major != features.column_major || x.values != features.values) {
      return unexpected(Failed{FailedError::PredictFailed, "feature matrix changed"});
    }
    return targets;
  }
};

using EchoModel = Classical<EchoEstimator, EchoParameters>;

// Small integers, so that means of equal values are exact.
data::Array2 integer_samples(std::size_t series, std::size_t length) {
  data::Array2 samples(series, length);
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      samples(s, t) = static_cast<float>((7 * s + 3 * t * t) % 23);
    }
  }
  return samples;
}

EchoModel trained(const data::Array2& samples, std::size_t window_size, std::size_t stride,
                  const EchoParameters& parameters = {}) {
  auto model = EchoModel::train(samples, window_size, stride, parameters);
  EXPECT_TRUE(model.has_value()) << (model ? "" : model.error());
  return model ? std::move(model).value() : EchoModel{};
}

TEST(Classical, OneEstimatorPerPositionFittedOnItsTrainingSet) {
  for (const auto& [series, length, window_size, stride] :
       {std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>{1, 10, 4, 3},
        {3, 10, 4, 1},
        {5, 7, 7, 2},
        {2, 12, 1, 5}}) {
    const data::Array2 samples = integer_samples(series, length);
    const EchoModel model = trained(samples, window_size, stride);
    EXPECT_EQ(model.window_size, window_size);
    ASSERT_EQ(model.estimators.size(), window_size);
    const auto plan = data::create_windows(samples, window_size, stride);
    ASSERT_TRUE(plan.has_value());
    for (std::size_t i = 0; i < window_size; ++i) {
      data::TrainingSet set = data::windows_to_train(plan->windows, i);
      const DenseMatrix expected = data::to_dense_matrix(std::move(set.features));
      const EchoEstimator& estimator = model.estimators[i];
      EXPECT_FALSE(estimator.features.column_major);
      EXPECT_EQ(estimator.features.nrows, plan->starts.size() * series);
      EXPECT_EQ(estimator.features.ncols, window_size - 1);
      EXPECT_EQ(estimator.features.values, expected.values) << "position " << i;
      EXPECT_EQ(estimator.targets, set.targets) << "position " << i;
    }
  }
}

TEST(Classical, DenoiseRoutesEveryPredictionBackToItsSample) {
  // The echo estimator predicts the training targets, so the output is the input exactly when
  // column i of the prediction matrix lands on window position i of each (window, series).
  for (const auto& [window_size, stride] :
       {std::pair<std::size_t, std::size_t>{4, 3}, {4, 4}, {5, 1}, {9, 9}, {3, 2}}) {
    const data::Array2 samples = integer_samples(3, 9);
    const EchoModel model = trained(samples, window_size, stride);
    auto output = model.denoise(samples, stride);
    ASSERT_TRUE(output.has_value()) << output.error();
    ASSERT_EQ(output->rows(), 3u);
    ASSERT_EQ(output->cols(), 9u);
    for (std::size_t s = 0; s < 3; ++s) {
      for (std::size_t t = 0; t < 9; ++t) {
        EXPECT_EQ((*output)(s, t), samples(s, t)) << window_size << "/" << stride;
      }
    }
  }
}

TEST(Classical, PredictionColumnsArePositionsInOrder) {
  const std::vector<std::vector<float>> predictions{{1, 2, 3}, {4, 5, 6}};
  auto view = as_columns(predictions);
  ASSERT_TRUE(view.has_value());
  ASSERT_EQ(view->rows, 3u);
  ASSERT_EQ(view->columns.size(), 2u);
  EXPECT_EQ(view->columns[1][2 * view->row_step], 6.0f);
  auto empty = as_columns({});
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(), "ShapeError/Unsupported: unsupported operation");
  auto ragged = as_columns({{1, 2}, {3}});
  ASSERT_FALSE(ragged.has_value());
  EXPECT_EQ(ragged.error(), "ShapeError/IncompatibleShape: incompatible shapes");
}

TEST(Classical, ZeroWindowTrainsNothingAndCannotDenoise) {
  const data::Array2 samples = integer_samples(2, 6);
  const EchoModel model = trained(samples, 0, 2);
  EXPECT_TRUE(model.estimators.empty());
  auto output = model.denoise(samples, 2);
  ASSERT_FALSE(output.has_value());
  EXPECT_EQ(output.error(), "ShapeError/Unsupported: unsupported operation");
}

TEST(Classical, EstimatorFailuresBecomeTheirDisplayText) {
  const data::Array2 samples = integer_samples(2, 8);
  // Position 2's first target is samples(0, 2) = 12.
  auto refused = EchoModel::train(samples, 4, 2, {samples(0, 2), false});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "Fit failed: refusing target 12.000000");

  const EchoModel model = trained(samples, 4, 2, {-1.0f, true});
  auto output = model.denoise(samples, 2);
  ASSERT_FALSE(output.has_value());
  EXPECT_EQ(output.error(), "Predict failed: no predictions today");
}

TEST(Classical, PlanningErrorsOfTrainAndDenoise) {
  const data::Array2 samples = integer_samples(2, 10);
  auto too_wide = EchoModel::train(samples, 12, 1, {});
  ASSERT_FALSE(too_wide.has_value());
  EXPECT_EQ(too_wide.error(), "window_size (12) is larger than the series length (10)");
  EXPECT_THROW((void)EchoModel::train(samples, 3, 0, {}), InternalFailure);

  // A model set applied to shorter series than it was trained for.
  const EchoModel model = trained(samples, 6, 2);
  auto shorter = model.denoise(integer_samples(2, 5), 2);
  ASSERT_FALSE(shorter.has_value());
  EXPECT_EQ(shorter.error(), "window_size (6) is larger than the series length (5)");
  EXPECT_THROW((void)model.denoise(samples, 0), InternalFailure);
}

TEST(Classical, NonFiniteSamplesAreRefusedAfterTheWindowChecks) {
  data::Array2 samples = integer_samples(3, 10);
  // The largest float, the smallest subnormal and -0 are finite.
  samples(0, 0) = 3.4028235e38f;
  samples(0, 1) = 1e-45f;
  samples(0, 2) = -0.0f;
  EXPECT_TRUE(EchoModel::train(samples, 4, 2, {}).has_value());

  samples(1, 7) = -std::numeric_limits<float>::infinity();
  auto one = EchoModel::train(samples, 4, 2, {});
  ASSERT_FALSE(one.has_value());
  EXPECT_EQ(one.error(),
            "samples holds 1 NaN or infinite value (at series 1, position 7); fill or drop it "
            "before denoising");

  samples(2, 0) = std::numeric_limits<float>::quiet_NaN();
  samples(1, 3) = std::numeric_limits<float>::infinity();
  auto three = EchoModel::train(samples, 4, 2, {});
  ASSERT_FALSE(three.has_value());
  EXPECT_EQ(three.error(),
            "samples holds 3 NaN or infinite values (the first at series 1, position 3); fill "
            "or drop them before denoising");

  // The window checks come first: stride 0, a window wider than the series, window_size 0.
  EXPECT_THROW((void)EchoModel::train(samples, 4, 0, {}), InternalFailure);
  EXPECT_EQ(EchoModel::train(samples, 11, 1, {}).error(),
            "window_size (11) is larger than the series length (10)");
  const EchoModel empty = trained(samples, 0, 1);
  EXPECT_EQ(empty.denoise(samples, 1).error(), "ShapeError/Unsupported: unsupported operation");
}

TEST(Classical, NoSeriesReachesTheReassemblyAssertion) {
  const data::Array2 samples(0, 8);
  const EchoModel model = trained(samples, 3, 2);
  EXPECT_EQ(model.estimators.size(), 3u);
  try {
    (void)model.denoise(samples, 2);
    ADD_FAILURE() << "denoising without series succeeded";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "assertion failed: sample_start < targets.nrows()");
  }
}

TEST(Classical, BrokenModelSetIsAnInternalFailure) {
  const data::Array2 samples = integer_samples(2, 8);
  EchoModel model = trained(samples, 4, 2);
  model.estimators.pop_back();
  EXPECT_THROW((void)model.denoise(samples, 2), InternalFailure);
}

TEST(Classical, RepeatedCallsAgree) {
  const data::Array2 samples = integer_samples(4, 11);
  auto first = trained(samples, 4, 3).denoise(samples, 3);
  auto second = trained(samples, 4, 3).denoise(samples, 3);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->release(), second->release());
}

// The two real model sets: same trained state and same bits on a repeat, one estimator per
// position.
template <class Model, class Parameters>
void expect_reproducible(const Parameters& parameters) {
  data::Array2 samples(6, 40);
  for (std::size_t s = 0; s < 6; ++s) {
    for (std::size_t t = 0; t < 40; ++t) {
      samples(s, t) = static_cast<float>((13 * s + 5 * t * t) % 29) / 7.0f - 2.0f;
    }
  }
  auto first = Model::train(samples, 6, 2, parameters);
  auto second = Model::train(samples, 6, 2, parameters);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->estimators.size(), 6u);
  auto first_output = first->denoise(samples, 2);
  auto second_output = second->denoise(samples, 2);
  ASSERT_TRUE(first_output.has_value() && second_output.has_value());
  const std::vector<float> a = first_output->release();
  const std::vector<float> b = second_output->release();
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
}

TEST(ModelSets, RepeatedCallsAreBitIdentical) {
  expect_reproducible<LRModel>(LinearRegressionParameters{LeastSquaresMethod::SVD});
  expect_reproducible<DTModel>(DecisionTreeRegressorParameters{8, 1, 2, std::nullopt});
}

TEST(ModelSets, NoSeriesFailsInTheLinearFitAndInTheTreeReassembly) {
  const data::Array2 samples(0, 8);
  EXPECT_THROW((void)LRModel::train(samples, 3, 1, {}), InternalFailure);
  auto trees = DTModel::train(samples, 3, 1, DecisionTreeRegressorParameters{8, 1, 2, {}});
  ASSERT_TRUE(trees.has_value());
  try {
    (void)trees->denoise(samples, 1);
    ADD_FAILURE() << "denoising without series succeeded";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "assertion failed: sample_start < targets.nrows()");
  }
}

}  // namespace
}  // namespace tacitor::models
