// The factorisations' hypotenuse: pinned bits where the C libraries disagree, no spurious
// overflow or underflow, and the special values of C's hypot.

#include "linalg/basic/hypotenuse.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tacitor::linalg {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();

// The exact value lies a hair off a midpoint between two floats: the sum, rounded to double,
// lands on the midpoint's square, and rounding to even then decides. A correctly rounded
// hypotf gives the other neighbour; these bits are the ones every build must give.
TEST(Hypotenuse, DoubleRoundingCasesKeepTheirBits) {
  EXPECT_EQ(hypotenuse(0x1.0000e4p+23f, 0x1.6a0a88p+11f), 0x1.0000e4p+23f);
  EXPECT_EQ(hypotenuse(0x1.000106p+23f, 0x1.6a0aap+11f), 0x1.000108p+23f);
  EXPECT_EQ(hypotenuse(0x1.0001fcp+23f, 0x1.6a0b4ep+11f), 0x1.0001fcp+23f);
  EXPECT_EQ(hypotenuse(0x1.6a0b4ep+11f, 0x1.0001fcp+23f), 0x1.0001fcp+23f);
}

TEST(Hypotenuse, ExactAndSignFreeResults) {
  EXPECT_EQ(hypotenuse(3.0f, 4.0f), 5.0f);
  EXPECT_EQ(hypotenuse(-3.0f, 4.0f), 5.0f);
  EXPECT_EQ(hypotenuse(4.0f, -3.0f), 5.0f);
  EXPECT_EQ(hypotenuse(-7.5f, 0.0f), 7.5f);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(hypotenuse(-0.0f, -0.0f)), 0u);
  EXPECT_EQ(hypotenuse(0.1f, 1.0f), 0x1.0146dep+0f);
}

// Squares of float extremes would overflow or vanish in single precision.
TEST(Hypotenuse, ExtremesNeitherOverflowNorUnderflowOnTheWay) {
  EXPECT_EQ(hypotenuse(kMax, 1.0f), kMax);
  EXPECT_EQ(hypotenuse(0x1p100f, 0x1p100f), 0x1.6a09e6p+100f);
  EXPECT_EQ(hypotenuse(kMax, kMax), kInf);
  EXPECT_EQ(hypotenuse(kTiny, kTiny), kTiny);
  EXPECT_EQ(hypotenuse(3 * kTiny, 4 * kTiny), 5 * kTiny);
  EXPECT_EQ(hypotenuse(0x1p-70f, 0x1p-70f), 0x1.6a09e6p-70f);
}

TEST(Hypotenuse, InfinityWinsOverQuietNaNOnly) {
  const float quiet = std::numeric_limits<float>::quiet_NaN();
  const float signalling = std::numeric_limits<float>::signaling_NaN();
  EXPECT_EQ(hypotenuse(kInf, quiet), kInf);
  EXPECT_EQ(hypotenuse(quiet, -kInf), kInf);
  EXPECT_EQ(hypotenuse(-kInf, 2.0f), kInf);
  EXPECT_TRUE(std::isnan(hypotenuse(quiet, 2.0f)));
  EXPECT_TRUE(std::isnan(hypotenuse(kInf, signalling)));
  EXPECT_TRUE(std::isnan(hypotenuse(signalling, kInf)));
  EXPECT_FALSE(is_signalling_nan(hypotenuse(signalling, 1.0f)));
}

}  // namespace
}  // namespace tacitor::linalg
