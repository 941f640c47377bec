// The change of units of the linear model set: which samples it takes, the transform's edges,
// and a model set that fits and denoises in the units it chose.

#include "models/sample_scaling.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "data/array2.hpp"
#include "instruction_levels.hpp"
#include "models/linear_regression.hpp"

namespace tacitor::models {
namespace {

constexpr float kMax = std::numeric_limits<float>::max();

// Sines plus noise at unit amplitude, multiplied by `amplitude` and shifted by `offset`.
data::Array2 sines(std::size_t series, std::size_t length, float amplitude, float offset) {
  std::mt19937 generator(7);
  std::normal_distribution<float> normal(0.0f, 0.3f);
  data::Array2 samples(series, length);
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      const float unit = std::sin(0.07f * static_cast<float>(t) + static_cast<float>(s));
      samples(s, t) = offset + amplitude * (unit + normal(generator));
    }
  }
  return samples;
}

std::vector<std::uint32_t> bits(const data::Array2& array) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < array.size(); ++i) {
    out.push_back(std::bit_cast<std::uint32_t>(array.data()[i]));
  }
  return out;
}

TEST(SampleScaling, UnitScaleIsLeftAloneAtAnyTrainingRowCount) {
  for (const float amplitude : {0.5f, 1.0f, 1e3f}) {
    const data::Array2 samples = sines(8, 200, amplitude, amplitude / 2.0f);
    for (const std::size_t rows : {10u, 1000000u, 4000000000u}) {
      EXPECT_EQ(choose_scaling(samples, 16, rows), std::nullopt) << amplitude << " " << rows;
    }
  }
}

TEST(SampleScaling, OffsetsTinyAndHugeMagnitudesAreBroughtToUnitSpread) {
  struct Case {
    float amplitude, offset;
  };
  for (const Case c : {Case{1.0f, 1e4f}, {0.01f, 300.0f}, {1e-6f, 0.0f}, {1e-30f, 0.0f},
                       {1e17f, 0.0f}, {1e30f, -1e31f}}) {
    const data::Array2 samples = sines(16, 300, c.amplitude, c.offset);
    const SampleStatistics statistics = sample_statistics(samples);
    const std::optional<SampleScaling> scaling = choose_scaling(samples, 16, 16 * 285);
    ASSERT_TRUE(scaling.has_value()) << c.amplitude << " " << c.offset;
    EXPECT_EQ(scaling->offset, static_cast<float>(statistics.mean));
    const double scaled_spread = std::ldexp(statistics.spread, scaling->exponent);
    EXPECT_TRUE(scaled_spread >= 0.5 && scaled_spread < 1.0) << scaled_spread;
  }
}

TEST(SampleScaling, EdgesOfTheDecisionAndTheTransform) {
  // Nothing to judge, or values the pipeline refuses itself.
  EXPECT_EQ(choose_scaling(data::Array2(0, 5), 3, 6), std::nullopt);
  data::Array2 holed = sines(4, 50, 1e-20f, 0.0f);
  holed(2, 7) = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(choose_scaling(holed, 4, 200), std::nullopt);
  holed(2, 7) = -std::numeric_limits<float>::infinity();
  EXPECT_EQ(choose_scaling(holed, 4, 200), std::nullopt);
  // Zeros: the transform would be the identity. Other constants become exact zeros.
  EXPECT_EQ(choose_scaling(data::Array2(3, 9, 0.0f), 3, 21), std::nullopt);
  const data::Array2 constant(3, 9, 300.01f);
  const std::optional<SampleScaling> flat = choose_scaling(constant, 3, 21);
  ASSERT_EQ(flat, (SampleScaling{300.01f, 0}));
  data::Array2 zeros = scale_samples(*flat, constant);
  EXPECT_EQ(bits(zeros), bits(data::Array2(3, 9, 0.0f)));
  unscale_output(*flat, zeros);
  EXPECT_EQ(bits(zeros), bits(constant));

  // The float32 limits: no overflow there and back, except an output beyond the range, which
  // saturates; an uncovered position stays NaN.
  data::Array2 extreme(2, 4);
  const float values[] = {kMax, -kMax, kMax, 1e-45f, -kMax, 0.0f, kMax, -1e38f};
  std::copy(std::begin(values), std::end(values), extreme.data());
  const std::optional<SampleScaling> wide = choose_scaling(extreme, 2, 6);
  ASSERT_TRUE(wide.has_value());
  data::Array2 round_trip = scale_samples(*wide, extreme);
  for (std::size_t i = 0; i < round_trip.size(); ++i) {
    EXPECT_TRUE(std::fabs(round_trip.data()[i]) <= 2.0f) << i;
  }
  round_trip.data()[1] = std::numeric_limits<float>::quiet_NaN();
  round_trip.data()[2] = 1e6f;
  round_trip.data()[3] = -1e6f;
  unscale_output(*wide, round_trip);
  EXPECT_EQ(round_trip.data()[0], kMax);
  EXPECT_TRUE(std::isnan(round_trip.data()[1]));
  EXPECT_EQ(round_trip.data()[2], kMax);
  EXPECT_EQ(round_trip.data()[3], -kMax);
  EXPECT_EQ(round_trip.data()[6], kMax);
}

// x = 4096 + u / 16 with u of mean 0 (every series beside its negation) and spread in
// [0.5, 1), all multiples of 2^-8: the chosen transform gives back u exactly, so the set on x
// must give the set on u's output mapped back, bit for bit, y = f32(f64(y_u) / 16 + 4096).
data::Array2 quantised_unit(std::size_t pairs, std::size_t length) {
  data::Array2 u = sines(2 * pairs, length, 1.0f, 0.0f);
  for (std::size_t s = 0; s < pairs; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      const float value = std::round(u(s, t) * 16.0f) / 16.0f;
      u(s, t) = value;
      u(pairs + s, t) = -value;
    }
  }
  return u;
}

data::Array2 shifted(const data::Array2& u, float by) {
  data::Array2 x(u.rows(), u.cols());
  for (std::size_t i = 0; i < u.size(); ++i) {
    x.data()[i] = 4096.0f + u.data()[i] / 16.0f + by;
  }
  return x;
}

data::Array2 mapped_back(data::Array2 y) {
  for (std::size_t i = 0; i < y.size(); ++i) {
    y.data()[i] = static_cast<float>(static_cast<double>(y.data()[i]) / 16.0 + 4096.0);
  }
  return y;
}

TEST(LRModelScaling, FitsAndDenoisesInTheUnitsItChose) {
  const LinearRegressionParameters svd{LeastSquaresMethod::SVD};
  testing::for_each_instruction_set([&] {
    const data::Array2 u = quantised_unit(4, 60);
    const data::Array2 x = shifted(u, 0.0f);
    const LRModel on_u = LRModel::train(u, 6, 2, svd).value();
    ASSERT_EQ(on_u.scaling, std::nullopt);
    const LRModel on_x = LRModel::train(x, 6, 2, svd).value();
    ASSERT_EQ(on_x.scaling, (SampleScaling{4096.0f, 4}));
    EXPECT_EQ(bits(on_x.denoise(x, 2).value()), bits(mapped_back(on_u.denoise(u, 2).value())));
    // New samples get the trained set's units, not units of their own: x + 1 is u + 16 to it.
    data::Array2 u_moved = u;
    for (std::size_t i = 0; i < u_moved.size(); ++i) {
      u_moved.data()[i] += 16.0f;
    }
    EXPECT_EQ(bits(on_x.denoise(shifted(u, 1.0f), 2).value()),
              bits(mapped_back(on_u.denoise(u_moved, 2).value())));
    // A stride wider than the window leaves gaps, which stay NaN.
    const data::Array2 gaps = LRModel::train(x, 3, 5, svd).value().denoise(x, 5).value();
    EXPECT_TRUE(std::isnan(gaps(0, 3)) && std::isnan(gaps(7, 4)));
    EXPECT_FALSE(std::isnan(gaps(0, 2)) || std::isnan(gaps(7, 5)));
  });
}

}  // namespace
}  // namespace tacitor::models
