#include "data/windows.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "data/array2.hpp"

namespace tacitor::data {
namespace {

// Element (s, t) = 100 * s + t, so every read names its own coordinates.
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

// Every window views exactly the samples at its start list element.
void expect_windows_view_their_columns(const Array2& samples, const WindowPlan& plan,
                                       std::size_t window_size) {
  ASSERT_EQ(plan.windows.size(), plan.starts.size());
  for (std::size_t k = 0; k < plan.windows.size(); ++k) {
    const Window& window = plan.windows[k];
    EXPECT_EQ(window.rows, samples.rows());
    EXPECT_EQ(window.cols, window_size);
    for (std::size_t s = 0; s < window.rows; ++s) {
      for (std::size_t i = 0; i < window.cols; ++i) {
        EXPECT_EQ(window(s, i), samples(s, plan.starts[k] + i)) << "window " << k;
      }
    }
  }
}

struct PlanCase {
  std::size_t length;
  std::size_t window_size;
  std::size_t stride;
  std::vector<std::size_t> starts;
};

TEST(CreateWindows, WorkedExamples) {
  const PlanCase cases[] = {
      {10, 4, 3, {0, 3, 6}},
      {10, 4, 4, {0, 4, 6}},
      {10, 3, 4, {0, 4, 7}},
      {10, 10, 5, {0}},
      {10, 4, 1, {0, 1, 2, 3, 4, 5, 6}},
      {10, 6, 7, {0, 4}},
  };
  for (const PlanCase& c : cases) {
    const Array2 samples = coordinate_samples(3, c.length);
    const WindowPlan plan = plan_of(samples, c.window_size, c.stride);
    EXPECT_EQ(plan.starts, c.starts) << c.length << " " << c.window_size << " " << c.stride;
    expect_windows_view_their_columns(samples, plan, c.window_size);
  }
}

TEST(CreateWindows, StartsAreMultiplesBelowSpanThenSpan) {
  for (std::size_t length = 0; length <= 12; ++length) {
    for (std::size_t window_size = 0; window_size <= length; ++window_size) {
      for (std::size_t stride = 1; stride <= 14; ++stride) {
        const std::size_t span = length - window_size;
        std::vector<std::size_t> expected;
        for (std::size_t start = 0; start < span; start += stride) {
          expected.push_back(start);
        }
        expected.push_back(span);
        const Array2 samples = coordinate_samples(2, length);
        const WindowPlan plan = plan_of(samples, window_size, stride);
        ASSERT_EQ(plan.starts, expected) << length << " " << window_size << " " << stride;
        EXPECT_EQ(plan.starts.size(), (span + stride - 1) / stride + 1);
        EXPECT_EQ(window_starts(length, window_size, stride), expected);
        expect_windows_view_their_columns(samples, plan, window_size);
      }
    }
  }
}

TEST(CreateWindows, SpecialStrides) {
  const Array2 samples = coordinate_samples(2, 10);
  // A window as long as the series is the only window, whatever the stride.
  for (const std::size_t stride : {1u, 3u, 10u, 1000u}) {
    EXPECT_EQ(plan_of(samples, 10, stride).starts, std::vector<std::size_t>{0});
  }
  EXPECT_EQ(plan_of(samples, 3, 1).starts.size(), 8u);
  EXPECT_EQ(plan_of(samples, 3, 8).starts, (std::vector<std::size_t>{0, 7}));
  EXPECT_EQ(plan_of(samples, 3, 4000000000u).starts, (std::vector<std::size_t>{0, 7}));
}

TEST(CreateWindows, LargeStrideCanLeaveGaps) {
  const Array2 samples = coordinate_samples(1, 10);
  auto covered = [&](std::size_t window_size, std::size_t stride) {
    std::vector<bool> covered(10, false);
    for (const std::size_t start : plan_of(samples, window_size, stride).starts) {
      for (std::size_t i = 0; i < window_size; ++i) {
        covered[start + i] = true;
      }
    }
    return covered;
  };
  const std::vector<bool> with_gap = covered(3, 4);
  for (std::size_t t = 0; t < 10; ++t) {
    EXPECT_EQ(with_gap[t], t != 3) << t;
  }
  const std::vector<bool> without_gap = covered(6, 7);
  EXPECT_EQ(without_gap, std::vector<bool>(10, true));
}

TEST(CreateWindows, ZeroWidthAndEmptyMatrices) {
  // Zero-width windows: the last one starts at the series length.
  const Array2 samples = coordinate_samples(2, 5);
  const WindowPlan zero_width = plan_of(samples, 0, 2);
  EXPECT_EQ(zero_width.starts, (std::vector<std::size_t>{0, 2, 4, 5}));
  for (const Window& window : zero_width.windows) {
    EXPECT_EQ(window.cols, 0u);
    EXPECT_EQ(window.rows, 2u);
  }
  // No series at all, and no time positions at all.
  const Array2 no_series(0, 6);
  const WindowPlan series_free = plan_of(no_series, 2, 2);
  EXPECT_EQ(series_free.starts, (std::vector<std::size_t>{0, 2, 4}));
  EXPECT_EQ(series_free.windows.at(2).rows, 0u);
  const Array2 no_positions(3, 0);
  EXPECT_EQ(plan_of(no_positions, 0, 1).starts, std::vector<std::size_t>{0});
}

TEST(CreateWindows, WindowLargerThanSeriesIsAnErrorText) {
  const Array2 samples = coordinate_samples(2, 10);
  auto plan = create_windows(samples, 12, 1);
  ASSERT_FALSE(plan.has_value());
  EXPECT_EQ(plan.error(), "window_size (12) is larger than the series length (10)");
  auto empty = create_windows(Array2(0, 0), 1, 3);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(), "window_size (1) is larger than the series length (0)");
}

TEST(CreateWindows, ZeroStrideIsAnInternalFailureCheckedFirst) {
  const Array2 samples = coordinate_samples(2, 10);
  for (const std::size_t window_size : {4u, 0u, 12u}) {
    try {
      (void)create_windows(samples, window_size, 0);
      ADD_FAILURE() << "stride 0 was accepted with window_size " << window_size;
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(failure.message(), "attempt to calculate the remainder with a divisor of zero");
    }
  }
  EXPECT_THROW(window_starts(10, 4, 0), InternalFailure);
}

}  // namespace
}  // namespace tacitor::data
