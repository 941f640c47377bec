#include "data/reassemble.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "data/array2.hpp"
#include "data/windows.hpp"

namespace tacitor::data {
namespace {

// Prediction matrix whose entry for (window k, series s, position i) is 1000 k + 10 s + i.
Array2 labelled_targets(std::size_t windows, std::size_t series, std::size_t width) {
  Array2 targets(windows * series, width);
  for (std::size_t r = 0; r < targets.rows(); ++r) {
    for (std::size_t i = 0; i < width; ++i) {
      targets(r, i) = static_cast<float>(1000 * (r / series) + 10 * (r % series) + i);
    }
  }
  return targets;
}

float label(std::size_t k, std::size_t s, std::size_t i) {
  return static_cast<float>(1000 * k + 10 * s + i);
}

std::string failure_text(const Array2& targets, std::size_t series, std::size_t length,
                         const std::vector<std::size_t>& starts) {
  try {
    (void)reassemble(targets, series, length, starts);
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  return "no failure";
}

TEST(Reassemble, OverlapsAreMeansOfTheCoveringWindows) {
  // Length 10, window 4, stride 3: starts 0, 3, 6; positions 3 and 6 are covered twice.
  const std::vector<std::size_t> starts = window_starts(10, 4, 3);
  const Array2 targets = labelled_targets(3, 2, 4);
  const Array2 output = reassemble(targets, 2, 10, starts);
  ASSERT_EQ(output.rows(), 2u);
  ASSERT_EQ(output.cols(), 10u);
  for (std::size_t s = 0; s < 2; ++s) {
    EXPECT_EQ(output(s, 3), (label(0, s, 3) + label(1, s, 0)) / 2.0f);
    EXPECT_EQ(output(s, 6), (label(1, s, 3) + label(2, s, 0)) / 2.0f);
    EXPECT_EQ(output(s, 4), label(1, s, 1));
    EXPECT_EQ(output(s, 0), label(0, s, 0));
    EXPECT_EQ(output(s, 9), label(2, s, 3));
  }
}

TEST(Reassemble, TailWindowOverlapsItsNeighbour) {
  // Length 10, window 4, stride 4: starts 0, 4, 6.
  const std::vector<std::size_t> starts = window_starts(10, 4, 4);
  ASSERT_EQ(starts, (std::vector<std::size_t>{0, 4, 6}));
  const Array2 output = reassemble(labelled_targets(3, 1, 4), 1, 10, starts);
  EXPECT_EQ(output(0, 5), label(1, 0, 1));
  EXPECT_EQ(output(0, 6), (label(1, 0, 2) + label(2, 0, 0)) / 2.0f);
  EXPECT_EQ(output(0, 7), (label(1, 0, 3) + label(2, 0, 1)) / 2.0f);
  EXPECT_EQ(output(0, 8), label(2, 0, 2));
  EXPECT_EQ(output(0, 9), label(2, 0, 3));
}

TEST(Reassemble, UncoveredPositionsAreNaN) {
  // Length 10, window 3, stride 4: starts 0, 4, 7 leave position 3 uncovered.
  const std::vector<std::size_t> starts = window_starts(10, 3, 4);
  const Array2 output = reassemble(labelled_targets(3, 3, 3), 3, 10, starts);
  for (std::size_t s = 0; s < 3; ++s) {
    for (std::size_t t = 0; t < 10; ++t) {
      EXPECT_EQ(std::isnan(output(s, t)), t == 3) << s << "," << t;
    }
  }
}

TEST(Reassemble, DisjointWindowsRearrangeThePredictions) {
  const std::size_t series = 3;
  const std::vector<std::size_t> starts = window_starts(12, 4, 4);
  const Array2 output = reassemble(labelled_targets(3, series, 4), series, 12, starts);
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < 12; ++t) {
      EXPECT_EQ(output(s, t), label(t / 4, s, t % 4));
    }
  }
}

TEST(Reassemble, OneWindowOverTheWholeSeries) {
  const Array2 targets = labelled_targets(1, 4, 6);
  const Array2 output = reassemble(targets, 4, 6, {0});
  for (std::size_t s = 0; s < 4; ++s) {
    for (std::size_t t = 0; t < 6; ++t) {
      EXPECT_EQ(output(s, t), targets(s, t));
    }
  }
}

TEST(Reassemble, SumsInStartOrderThenDividesByTheFloatCount) {
  // Position 2 of a length-5 series with window 3 and stride 1 is covered by windows 0, 1
  // and 2, at window positions 2, 1 and 0. The values make every summation order differ.
  const float p0 = 1e8f;
  const float p1 = -1e8f;
  const float p2 = 1.0f;
  Array2 targets(3, 3, 0.0f);
  targets(0, 2) = p0;
  targets(1, 1) = p1;
  targets(2, 0) = p2;
  const float expected = ((p0 + p1) + p2) / 3.0f;
  ASSERT_NE(std::bit_cast<std::uint32_t>(expected),
            std::bit_cast<std::uint32_t>((p0 + (p1 + p2)) / 3.0f));
  ASSERT_NE(std::bit_cast<std::uint32_t>(expected),
            std::bit_cast<std::uint32_t>(((p2 + p1) + p0) / 3.0f));
  const Array2 output = reassemble(targets, 1, 5, window_starts(5, 3, 1));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(output(0, 2)), std::bit_cast<std::uint32_t>(expected));

  // Three ordinary values: the float sum divided by 3.0f, not a double mean.
  Array2 plain(3, 3, 0.0f);
  plain(0, 2) = 0.1f;
  plain(1, 1) = 0.7f;
  plain(2, 0) = 0.3f;
  const float plain_expected = ((0.1f + 0.7f) + 0.3f) / 3.0f;
  const Array2 plain_output = reassemble(plain, 1, 5, window_starts(5, 3, 1));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(plain_output(0, 2)),
            std::bit_cast<std::uint32_t>(plain_expected));
}

TEST(Reassemble, PlansThatDoNotFitAreInternalFailures) {
  // No series: the first window has no rows in the prediction matrix.
  EXPECT_EQ(failure_text(Array2(0, 3), 0, 5, window_starts(5, 3, 1)),
            "assertion failed: sample_start < targets.nrows()");
  // Three rows for two series: window 1 would need rows 2 and 3.
  EXPECT_EQ(failure_text(Array2(3, 2), 2, 4, {0, 2}),
            "assertion failed: sample_end <= targets.nrows()");
  // More starts than the prediction matrix has windows.
  EXPECT_EQ(failure_text(Array2(2, 2), 1, 4, {0, 1, 2}),
            "assertion failed: sample_start < targets.nrows()");
  // A window reaching past the last time position.
  EXPECT_EQ(failure_text(Array2(2, 3), 1, 4, {0, 2}),
            "window at time position 2 of width 3 reaches past the series length 4");
  EXPECT_EQ(failure_text(Array2(1, 0), 1, 4, {5}),
            "window at time position 5 of width 0 reaches past the series length 4");
}

TEST(Reassemble, ZeroWidthWindowsCoverNothing) {
  const Array2 output = reassemble(Array2(4, 0), 2, 3, {0, 3});
  for (std::size_t t = 0; t < 3; ++t) {
    EXPECT_TRUE(std::isnan(output(0, t)));
    EXPECT_TRUE(std::isnan(output(1, t)));
  }
}

}  // namespace
}  // namespace tacitor::data
