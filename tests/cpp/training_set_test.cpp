#include "data/training_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "data/array2.hpp"
#include "data/windows.hpp"

namespace tacitor::data {
namespace {

// Element (s, t) = 100 * s + t.
Array2 coordinate_samples(std::size_t series, std::size_t length) {
  Array2 samples(series, length);
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      samples(s, t) = static_cast<float>(100 * s + t);
    }
  }
  return samples;
}

WindowPlan plan_of(const Array2& samples, std::size_t window_size, std::size_t stride) {
  auto plan = create_windows(samples, window_size, stride);
  EXPECT_TRUE(plan.has_value());
  return plan ? std::move(plan).value() : WindowPlan{};
}

std::string failure_text(const std::vector<Window>& windows, std::size_t position) {
  try {
    (void)windows_to_train(windows, position);
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  return "no failure";
}

TEST(WindowsToTrain, TwoSeriesTwoWindowsExample) {
  // Length 7, window 4, stride 3: starts 0 and 3. Position 1 is left out.
  const Array2 samples = coordinate_samples(2, 7);
  const WindowPlan plan = plan_of(samples, 4, 3);
  ASSERT_EQ(plan.starts, (std::vector<std::size_t>{0, 3}));
  const TrainingSet set = windows_to_train(plan.windows, 1);
  ASSERT_EQ(set.features.rows(), 4u);
  ASSERT_EQ(set.features.cols(), 3u);
  const std::vector<std::vector<float>> expected_rows = {
      {0, 2, 3}, {100, 102, 103}, {3, 5, 6}, {103, 105, 106}};
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(set.features(r, j), expected_rows[r][j]) << r << "," << j;
    }
  }
  EXPECT_EQ(set.targets, (std::vector<float>{1, 101, 4, 104}));
}

TEST(WindowsToTrain, EveryPositionLeavesOutExactlyItsColumn) {
  // Covers the one-sided branches (first and last position) and the joined one.
  const std::size_t series = 3;
  const Array2 samples = coordinate_samples(series, 11);
  for (const auto& [window_size, stride] : {std::pair<std::size_t, std::size_t>{4, 3}, {5, 2}}) {
    const WindowPlan plan = plan_of(samples, window_size, stride);
    for (std::size_t i = 0; i < window_size; ++i) {
      const TrainingSet set = windows_to_train(plan.windows, i);
      ASSERT_EQ(set.features.rows(), plan.starts.size() * series);
      ASSERT_EQ(set.features.cols(), window_size - 1);
      ASSERT_EQ(set.targets.size(), set.features.rows());
      for (std::size_t r = 0; r < set.features.rows(); ++r) {
        const std::size_t start = plan.starts[r / series];
        const std::size_t s = r % series;
        for (std::size_t j = 0; j + 1 < window_size; ++j) {
          EXPECT_EQ(set.features(r, j), samples(s, start + j + (j >= i ? 1 : 0)))
              << "position " << i << " row " << r << " column " << j;
        }
        EXPECT_EQ(set.targets[r], samples(s, start + i));
      }
    }
  }
}

TEST(WindowsToTrain, OverlappingWindowsShareSamples) {
  // With starts 0 and 3, time position 3 is the last target of window 0 and the first of
  // window 1.
  const Array2 samples = coordinate_samples(1, 7);
  const WindowPlan plan = plan_of(samples, 4, 3);
  EXPECT_EQ(windows_to_train(plan.windows, 3).targets[0], 3.0f);
  EXPECT_EQ(windows_to_train(plan.windows, 0).targets[1], 3.0f);
  EXPECT_EQ(windows_to_train(plan.windows, 1).features(0, 2), 3.0f);
}

TEST(WindowsToTrain, WidthOneHasNoFeatures) {
  const Array2 samples = coordinate_samples(2, 3);
  const WindowPlan plan = plan_of(samples, 1, 1);
  const TrainingSet set = windows_to_train(plan.windows, 0);
  EXPECT_EQ(set.features.rows(), 6u);
  EXPECT_EQ(set.features.cols(), 0u);
  EXPECT_EQ(set.targets, (std::vector<float>{0, 100, 1, 101, 2, 102}));
}

TEST(WindowsToTrain, OneWindowGivesOneRowPerSeries) {
  const Array2 samples = coordinate_samples(4, 5);
  const WindowPlan plan = plan_of(samples, 5, 2);
  const TrainingSet set = windows_to_train(plan.windows, 2);
  EXPECT_EQ(set.features.rows(), 4u);
  EXPECT_EQ(set.targets, (std::vector<float>{2, 102, 202, 302}));
}

TEST(WindowsToTrain, ReadsThroughStridedViews) {
  // A window over a transposed layout: row step 1, column step 3.
  const std::vector<float> buffer = {0, 10, 20, 1, 11, 21, 2, 12, 22};
  const Window window{buffer.data(), 3, 3, 1, 3};
  const TrainingSet set = windows_to_train({window}, 1);
  EXPECT_EQ(set.targets, (std::vector<float>{1, 11, 21}));
  EXPECT_EQ(set.features(2, 0), 20.0f);
  EXPECT_EQ(set.features(2, 1), 22.0f);
}

TEST(WindowsToTrain, BrokenPlansAreInternalFailures) {
  const Array2 samples = coordinate_samples(2, 8);
  const WindowPlan plan = plan_of(samples, 4, 2);
  EXPECT_EQ(failure_text(plan.windows, 4),
            "window position 4 is out of range for windows of width 4");
  EXPECT_EQ(failure_text({}, 0), "a training set needs at least one window");
  const WindowPlan zero_width = plan_of(samples, 0, 2);
  EXPECT_EQ(failure_text(zero_width.windows, 0),
            "window position 0 is out of range for windows of width 0");
  std::vector<Window> mixed = plan.windows;
  mixed[1].cols = 3;
  EXPECT_EQ(failure_text(mixed, 1),
            "internal error: entered unreachable code: We made the arrays, so they should have "
            "the correct shape.");
}

TEST(ToDenseMatrix, KeepsRowMajorValues) {
  const Array2 samples = coordinate_samples(2, 7);
  const WindowPlan plan = plan_of(samples, 4, 3);
  TrainingSet set = windows_to_train(plan.windows, 2);
  const Array2 features = set.features;
  const DenseMatrix matrix = to_dense_matrix(std::move(set.features));
  EXPECT_FALSE(matrix.column_major);
  ASSERT_EQ(matrix.nrows, 4u);
  ASSERT_EQ(matrix.ncols, 3u);
  ASSERT_EQ(matrix.values.size(), 12u);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(matrix.values[r * 3 + j], features(r, j));
      EXPECT_EQ(matrix.get(r, j), features(r, j));
    }
  }
}

}  // namespace
}  // namespace tacitor::data
