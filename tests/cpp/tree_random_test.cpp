// The tree's generator against a second, independent implementation of xoshiro128++ and
// PCG32, and the statistical sanity of its bounded draws and shuffles.

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "tree/random.hpp"

namespace tacitor {
namespace {

// Reference xoshiro128++, written from the published algorithm with explicit shifts.
struct ReferenceXoshiro {
  std::uint32_t s0, s1, s2, s3;
  static std::uint32_t rotate_left(std::uint32_t x, unsigned k) {
    return (x << k) | (x >> (32 - k));
  }
  std::uint32_t next() {
    const std::uint32_t result = rotate_left(s0 + s3, 7) + s0;
    const std::uint32_t t = s1 << 9;
    s2 = s2 ^ s0;
    s3 = s3 ^ s1;
    s1 = s1 ^ s2;
    s0 = s0 ^ s3;
    s2 = s2 ^ t;
    s3 = rotate_left(s3, 11);
    return result;
  }
};

// Reference PCG32 step (advance the 64-bit LCG, then XSH-RR output of the new state).
std::uint32_t reference_pcg32(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 11634580027462260723ULL;
  const std::uint32_t xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
  const unsigned rot = static_cast<unsigned>(state >> 59);
  return rot == 0 ? xorshifted : (xorshifted >> rot) | (xorshifted << (32 - rot));
}

TEST(TreeRandomGenerator, MatchesTheReferenceFromARawState) {
  Xoshiro128PlusPlus rng({1, 2, 3, 4});
  // The first outputs of the published reference for state 1, 2, 3, 4.
  EXPECT_EQ(rng.next_u32(), 641u);
  EXPECT_EQ(rng.next_u32(), 1573767u);
  EXPECT_EQ(rng.next_u32(), 3222811527u);
  ReferenceXoshiro reference{1, 2, 3, 4};
  for (int k = 0; k < 3; ++k) {
    reference.next();
  }
  for (int k = 0; k < 10000; ++k) {
    ASSERT_EQ(rng.next_u32(), reference.next()) << k;
  }
}

TEST(TreeRandomGenerator, SeedFillsTheStateWithFourPcgSteps) {
  for (const std::uint64_t seed : {0ULL, 1ULL, 42ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    std::uint64_t pcg = seed;
    std::array<std::uint32_t, 4> words{};
    for (auto& w : words) {
      w = reference_pcg32(pcg);
    }
    Xoshiro128PlusPlus rng = Xoshiro128PlusPlus::from_seed(seed);
    EXPECT_EQ(rng.state(), words) << seed;
    ReferenceXoshiro reference{words[0], words[1], words[2], words[3]};
    for (int k = 0; k < 100; ++k) {
      ASSERT_EQ(rng.next_u32(), reference.next());
    }
  }
  EXPECT_EQ(get_rng_impl(std::nullopt).state(), Xoshiro128PlusPlus::from_seed(0).state());
  EXPECT_EQ(get_rng_impl(7).state(), Xoshiro128PlusPlus::from_seed(7).state());
  EXPECT_NE(get_rng_impl(7).state(), get_rng_impl(8).state());
}

TEST(TreeRandomGenerator, AllZeroStateIsReplaced) {
  Xoshiro128PlusPlus rng({0, 0, 0, 0});
  EXPECT_EQ(rng.state(), Xoshiro128PlusPlus::from_seed(0).state());
  EXPECT_NE(rng.next_u32() | rng.next_u32(), 0u);
}

TEST(TreeRandomDraws, BelowStaysInRangeAndIsRoughlyUniform) {
  Xoshiro128PlusPlus rng = Xoshiro128PlusPlus::from_seed(3);
  EXPECT_EQ(rng.below(0), 0u);
  EXPECT_EQ(rng.below(1), 0u);
  for (const std::uint64_t bound : {2ULL, 3ULL, 7ULL, (1ULL << 32) + 5, 0x8000000000000001ULL}) {
    for (int k = 0; k < 2000; ++k) {
      ASSERT_LT(rng.below(bound), bound);
    }
  }
  // 60000 draws over 6 cells: each cell within 5 standard deviations (about 456) of 10000.
  std::array<int, 6> cells{};
  for (int k = 0; k < 60000; ++k) {
    ++cells[rng.below(6)];
  }
  for (const int c : cells) {
    EXPECT_NEAR(c, 10000, 456);
  }
  // Large bounds use the upper half too.
  bool high = false;
  for (int k = 0; k < 64 && !high; ++k) {
    high = rng.below(0x8000000000000001ULL) >= 0x4000000000000000ULL;
  }
  EXPECT_TRUE(high);
}

TEST(TreeRandomDraws, ShuffleIsAUniformPermutation) {
  Xoshiro128PlusPlus rng = Xoshiro128PlusPlus::from_seed(5);
  std::map<std::vector<std::size_t>, int> seen;
  for (int k = 0; k < 60000; ++k) {
    std::vector<std::size_t> items{0, 1, 2};
    shuffle(items, rng);
    ++seen[items];
  }
  ASSERT_EQ(seen.size(), 6u);
  for (const auto& [permutation, count] : seen) {
    EXPECT_NEAR(count, 10000, 456);
  }
  std::vector<std::size_t> empty;
  shuffle(empty, rng);
  EXPECT_TRUE(empty.empty());
  std::vector<std::size_t> one{9};
  shuffle(one, rng);
  EXPECT_EQ(one, std::vector<std::size_t>{9});

  Xoshiro128PlusPlus a = Xoshiro128PlusPlus::from_seed(1);
  Xoshiro128PlusPlus b = Xoshiro128PlusPlus::from_seed(1);
  std::vector<std::size_t> x(50);
  for (std::size_t k = 0; k < x.size(); ++k) {
    x[k] = k;
  }
  std::vector<std::size_t> y = x;
  shuffle(x, a);
  shuffle(y, b);
  EXPECT_EQ(x, y);
  EXPECT_TRUE(std::is_permutation(x.begin(), x.end(), y.begin()));
}

}  // namespace
}  // namespace tacitor
