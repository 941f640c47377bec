// The linear model set's direct route from the windows: the design matrix it writes, fits
// and predictions that match the general route (training set, LinearRegression::fit and
// predict), and whole denoising runs that match the plain pipeline with the plain SVD solve,
// bit for bit at every instruction-set level.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "data/array2.hpp"
#include "data/design_matrix.hpp"
#include "data/training_set.hpp"
#include "data/windows.hpp"
#include "instruction_levels.hpp"
#include "models/linear_regression.hpp"
#include "plain_pipeline.hpp"
#include "plain_solvers.hpp"

namespace tacitor::models {
namespace {

data::Array2 noisy_samples(std::size_t series, std::size_t length, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  data::Array2 samples(series, length);
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      samples(s, t) = std::sin(0.05f * static_cast<float>(t + 3 * s)) + 0.3f * normal(generator);
    }
  }
  // A constant series and a run of signed zeros.
  for (std::size_t t = 0; t < length; ++t) {
    samples(0, t) = 2.0f;
    samples(1, t) = t % 2 == 0 ? 0.0f : -0.0f;
  }
  return samples;
}

void expect_same_bits(const std::vector<float>& expected, const std::vector<float>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(expected[i]), std::bit_cast<std::uint32_t>(actual[i]))
        << "element " << i;
  }
}

TEST(DesignMatrix, ColumnsAreTheTrainingSetBesideOnesWithPaddingOnlyWhenAliasing) {
  EXPECT_EQ(data::padded_column_stride(1000), 1000u);
  EXPECT_EQ(data::padded_column_stride(1024), 1040u);
  EXPECT_EQ(data::padded_column_stride(31744), 31760u);
  EXPECT_EQ(data::padded_column_stride(0), 0u);

  const data::Array2 samples = noisy_samples(8, 132, 1);
  const auto plan = data::create_windows(samples, 5, 1);
  ASSERT_TRUE(plan.has_value());
  data::DesignBuffer buffer;
  for (std::size_t position : {0u, 2u, 4u}) {
    const data::TrainingSet set = data::windows_to_train(plan->windows, position);
    const data::DesignMatrix design = data::build_design_matrix(plan->windows, position, buffer);
    ASSERT_EQ(design.rows, 1024u);
    ASSERT_EQ(design.stride, 1040u);
    for (std::size_t r = 0; r < design.rows; ++r) {
      for (std::size_t c = 0; c < 4; ++c) {
        ASSERT_EQ(design.values[c * design.stride + r], set.features(r, c));
      }
      ASSERT_EQ(design.values[4 * design.stride + r], 1.0f);
      ASSERT_EQ(design.targets[r], set.targets[r]);
    }
  }
}

// Shapes: several windows, the tail window, a single window, and 64 series x 16 windows, whose
// 1024 rows make the columns alias without padding.
TEST(LinearWindowRoute, FitAndPredictMatchTheTrainingSetRoute) {
  struct Case {
    std::size_t series, length, window, stride;
  };
  const Case cases[] = {{6, 50, 5, 3}, {12, 9, 9, 1}, {64, 31, 16, 1}, {5, 40, 1, 2}};
  testing::for_each_instruction_set([&] {
    for (const Case& c : cases) {
      const data::Array2 samples = noisy_samples(c.series, c.length, 2);
      const auto plan = data::create_windows(samples, c.window, c.stride);
      ASSERT_TRUE(plan.has_value());
      ScratchPool<data::DesignBuffer> scratch;
      for (std::size_t position = 0; position < c.window; ++position) {
        SCOPED_TRACE("position " + std::to_string(position));
        data::TrainingSet set = data::windows_to_train(plan->windows, position);
        const DenseMatrix x = data::to_dense_matrix(std::move(set.features));
        const LinearRegression general =
            LinearRegression::fit(x, VectorView(set.targets), {}).value();
        const LinearRegression direct =
            WindowRoute<LinearRegression>::fit(plan->windows, position, {}, scratch).value();
        expect_same_bits(general.coefficients->values, direct.coefficients->values);
        expect_same_bits({*general.intercept}, {*direct.intercept});
        expect_same_bits(
            general.predict(x).value(),
            WindowRoute<LinearRegression>::predict(direct, plan->windows, position).value());
      }
    }
  });
}

// Least squares with an intercept through the plain SVD solve; prediction is the product with
// the coefficients plus the intercept.
std::vector<float> plain_linear_fit_predict(const DenseMatrix& x, const std::vector<float>& y) {
  const std::size_t p = x.ncols;
  DenseMatrix design = DenseMatrix::zeros(x.nrows, p + 1);
  for (std::size_t r = 0; r < x.nrows; ++r) {
    for (std::size_t c = 0; c < p; ++c) {
      design.at(r, c) = x.at(r, c);
    }
    design.at(r, p) = 1.0f;
  }
  const std::vector<float> solution = testing::plain_svd_solve(design, y);
  std::vector<float> predictions(x.nrows);
  for (std::size_t r = 0; r < x.nrows; ++r) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < p; ++c) {
      sum = sum + x.at(r, c) * solution[c];
    }
    predictions[r] = sum + solution[p];
  }
  return predictions;
}

// Shapes: overlapping windows with a tail, a single window, window size 1 (no features), and
// 64 series x 16 windows.
TEST(LinearModelSet, DenoisesLikeThePlainPipeline) {
  struct Case {
    std::size_t series, length, window, stride;
  };
  const Case cases[] = {
      {12, 40, 4, 2}, {12, 40, 5, 3}, {5, 4, 4, 9}, {3, 9, 1, 2}, {64, 31, 16, 1}};
  std::vector<data::Array2> samples;
  std::vector<data::Array2> expected;
  for (const Case& c : cases) {
    samples.push_back(noisy_samples(c.series, c.length, 9));
    expected.push_back(
        testing::plain_denoise(samples.back(), c.window, c.stride, plain_linear_fit_predict));
  }
  testing::for_each_instruction_set([&] {
    for (std::size_t k = 0; k < std::size(cases); ++k) {
      const Case& c = cases[k];
      SCOPED_TRACE("window " + std::to_string(c.window) + " stride " + std::to_string(c.stride));
      const LRModel model = LRModel::train(samples[k], c.window, c.stride, {}).value();
      const data::Array2 denoised = model.denoise(samples[k], c.stride).value();
      expect_same_bits({expected[k].data(), expected[k].data() + expected[k].size()},
                       {denoised.data(), denoised.data() + denoised.size()});
    }
  });
}

}  // namespace
}  // namespace tacitor::models
