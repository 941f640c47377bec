// The Gram route against a double-precision least-squares reference and against the exact
// (SVD) route, and its bits across worker counts and instruction-set levels.

#include "linear/gram_solve.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "data/training_set.hpp"
#include "data/windows.hpp"
#include "instruction_levels.hpp"
#include "least_squares_reference.hpp"
#include "linear/gram_matrix.hpp"
#include "models/gram_linear.hpp"
#include "models/linear_regression.hpp"
#include "models/module_parameters.hpp"
#include "pool/concurrency_limit.hpp"

namespace tacitor {
namespace {

// Sines of random frequency and phase with uniform noise, `offset` added.
data::Array2 noisy_sines(std::size_t series, std::size_t length, unsigned seed,
                         float offset = 0.0f) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  data::Array2 samples(series, length);
  for (std::size_t s = 0; s < series; ++s) {
    const float frequency = 0.05f + 0.05f * uniform(generator);
    const float phase = 3.0f * uniform(generator);
    for (std::size_t t = 0; t < length; ++t) {
      samples(s, t) =
          offset + std::sin(frequency * static_cast<float>(t) + phase) + 0.2f * uniform(generator);
    }
  }
  return samples;
}

TEST(GramSolve, MatchesDoublePrecisionLeastSquaresAtEveryPosition) {
  const data::Array2 samples = noisy_sines(7, 300, 1);
  const std::size_t width = 6;
  const auto plan = data::create_windows(samples, width, 2);
  ASSERT_TRUE(plan);
  const linear::GramMatrix gram = linear::window_gram(plan->windows);
  ASSERT_EQ(gram.size, width + 1);
  ASSERT_EQ(gram.rows, 7 * plan->windows.size());
  // Noisy windows are well-conditioned: one decomposition serves every position.
  const auto shared = linear::gram_solve_all(gram);
  ASSERT_TRUE(shared);
  for (std::size_t position = 0; position < width; ++position) {
    SCOPED_TRACE(position);
    data::TrainingSet set = data::windows_to_train(plan->windows, position);
    const std::size_t rows = set.targets.size();
    DenseMatrix design = DenseMatrix::zeros(rows, width, true);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c + 1 < width; ++c) {
        design.values[c * rows + r] = set.features(r, c);
      }
      design.values[(width - 1) * rows + r] = 1.0f;
    }
    const std::vector<double> expected = testing::least_squares_f64(design, set.targets);
    const std::vector<double> solved = linear::gram_solve(gram, position);
    ASSERT_EQ(solved.size(), width);
    for (std::size_t k = 0; k < width; ++k) {
      EXPECT_NEAR(solved[k], expected[k], 1e-9 * (1.0 + std::fabs(expected[k]))) << k;
      EXPECT_NEAR((*shared)[position][k], expected[k], 1e-9 * (1.0 + std::fabs(expected[k]))) << k;
    }
  }
}

data::Array2 denoised(const Expected<models::LRModel, std::string>& model,
                      const data::Array2& samples, std::size_t stride) {
  EXPECT_TRUE(model);
  auto out = model->denoise(samples, stride);
  EXPECT_TRUE(out);
  return std::move(out).value();
}

void expect_close_to_exact(const data::Array2& samples, std::size_t width, std::size_t stride,
                           double tolerance) {
  const data::Array2 gram =
      denoised(models::train_by_gram(samples, width, stride), samples, stride);
  const data::Array2 exact =
      denoised(models::LRModel::train(samples, width, stride, models::module_linear_parameters()),
               samples, stride);
  double scale = 0.0;
  for (std::size_t i = 0; i < exact.size(); ++i) {
    scale = std::max(scale, static_cast<double>(std::fabs(exact.data()[i])));
  }
  for (std::size_t i = 0; i < exact.size(); ++i) {
    ASSERT_NEAR(gram.data()[i], exact.data()[i], tolerance * scale) << "sample " << i;
  }
}

// Rank-deficient windows: ramps make every position an affine function of two others; constant
// series make every feature column a multiple of the ones column; a large offset takes the
// change of units.
TEST(GramRoute, FollowsTheExactRouteOnFullRankAndRankDeficientWindows) {
  expect_close_to_exact(noisy_sines(16, 200, 2), 8, 1, 1e-5);
  expect_close_to_exact(noisy_sines(3, 500, 3, 3.0e4f), 12, 3, 1e-6);
  data::Array2 ramps(5, 64);
  data::Array2 constants(5, 64);
  for (std::size_t s = 0; s < 5; ++s) {
    for (std::size_t t = 0; t < 64; ++t) {
      ramps(s, t) = static_cast<float>(s) - 0.25f * static_cast<float>(t * (s + 1));
      constants(s, t) = 1.5f * static_cast<float>(s) - 2.0f;
    }
  }
  // Ramps make the whole matrix singular: each position decides on its own sub-block.
  ASSERT_FALSE(
      linear::gram_solve_all(linear::window_gram(data::create_windows(ramps, 6, 1)->windows)));
  expect_close_to_exact(ramps, 6, 1, 1e-5);
  expect_close_to_exact(constants, 6, 1, 1e-6);
}

TEST(GramRoute, SameBitsAtEveryWorkerCountAndInstructionSet) {
  // More rows than one block, so that several blocks are summed and joined.
  const data::Array2 samples = noisy_sines(40, 400, 4);
  ASSERT_GT(40 * (400 - 9 + 1), 2 * linear::kGramBlockRows);
  const data::Array2 reference = denoised(models::train_by_gram(samples, 9, 1), samples, 1);
  const auto same_bits = [&](const data::Array2& out) {
    ASSERT_EQ(out.size(), reference.size());
    EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0);
  };
  {
    const pool::ScopedConcurrencyLimit one(1);
    same_bits(denoised(models::train_by_gram(samples, 9, 1), samples, 1));
  }
  testing::for_each_instruction_set(
      [&] { same_bits(denoised(models::train_by_gram(samples, 9, 1), samples, 1)); });
}

}  // namespace
}  // namespace tacitor
