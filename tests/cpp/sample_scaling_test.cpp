// The change of units of the linear model set: which samples it takes, the transform's edges,
// and a model set that fits and denoises in the units it chose.

#include "models/sample_scaling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
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

TEST(SampleScaling, EdgesOfTheDecisionAndTheTransform) {
  // Data near unit scale, whatever the row count; nothing to judge; values the pipeline
  // refuses itself.
  EXPECT_EQ(choose_scaling(sines(8, 200, 0.5f, 0.25f), 16, 4000000000u), std::nullopt);
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

  // The float32 limits: no overflow there and back; an output beyond the range saturates
  // and an uncovered position stays NaN.
  data::Array2 extreme(1, 4);
  const float values[] = {kMax, -kMax, 1e-45f, -1e38f};
  std::copy(std::begin(values), std::end(values), extreme.data());
  const std::optional<SampleScaling> wide = choose_scaling(extreme, 2, 3);
  ASSERT_TRUE(wide.has_value());
  data::Array2 round_trip = scale_samples(*wide, extreme);
  EXPECT_TRUE(std::fabs(round_trip(0, 0)) <= 2.0f && std::fabs(round_trip(0, 1)) <= 2.0f);
  round_trip(0, 1) = std::numeric_limits<float>::quiet_NaN();
  round_trip(0, 2) = 1e6f;
  unscale_output(*wide, round_trip);
  EXPECT_EQ(round_trip(0, 0), kMax);
  EXPECT_TRUE(std::isnan(round_trip(0, 1)));
  EXPECT_EQ(round_trip(0, 2), kMax);
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

// Every value v becomes f(v).
template <class F>
data::Array2 map(data::Array2 array, F f) {
  for (std::size_t i = 0; i < array.size(); ++i) {
    array.data()[i] = f(array.data()[i]);
  }
  return array;
}

float mapped_back(float y) {
  return static_cast<float>(static_cast<double>(y) / 16.0 + 4096.0);
}

TEST(LRModelScaling, FitsAndDenoisesInTheUnitsItChose) {
  const LinearRegressionParameters svd{LeastSquaresMethod::SVD};
  testing::for_each_instruction_set([&] {
    const data::Array2 u = quantised_unit(4, 60);
    const data::Array2 x = map(u, [](float v) { return 4096.0f + v / 16.0f; });
    const LRModel on_u = LRModel::train(u, 6, 2, svd).value();
    ASSERT_EQ(on_u.scaling, std::nullopt);
    const LRModel on_x = LRModel::train(x, 6, 2, svd).value();
    ASSERT_EQ(on_x.scaling, (SampleScaling{4096.0f, 4}));
    EXPECT_EQ(bits(on_x.denoise(x, 2).value()), bits(map(on_u.denoise(u, 2).value(), mapped_back)));
    // New samples get the trained set's units, not units of their own: x + 1 is u + 16 to it.
    const data::Array2 x_moved = map(x, [](float v) { return v + 1.0f; });
    const data::Array2 u_moved = map(u, [](float v) { return v + 16.0f; });
    EXPECT_EQ(bits(on_x.denoise(x_moved, 2).value()),
              bits(map(on_u.denoise(u_moved, 2).value(), mapped_back)));
  });
}

}  // namespace
}  // namespace tacitor::models
