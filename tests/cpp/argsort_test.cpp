// argsort_pairs: hand-traced orders of tied values, the sorting property on tie-heavy data,
// bounded, deterministic behaviour on NaN and infinities, and cancellation of a long sort.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/cancellation.hpp"
#include "tree/argsort.hpp"

namespace tacitor {
namespace {

bool is_permutation_of_positions(const std::vector<std::size_t>& order) {
  std::vector<bool> seen(order.size(), false);
  for (const std::size_t k : order) {
    if (k >= order.size() || seen[k]) {
      return false;
    }
    seen[k] = true;
  }
  return true;
}

// The sorted values, the order, and the original values agree bit for bit.
void expect_consistent(const std::vector<float>& original, const std::vector<float>& sorted,
                       const std::vector<std::size_t>& order) {
  ASSERT_EQ(order.size(), original.size());
  ASSERT_TRUE(is_permutation_of_positions(order));
  for (std::size_t k = 0; k < order.size(); ++k) {
    const float expected = original[order[k]];
    EXPECT_TRUE(sorted[k] == expected || (std::isnan(sorted[k]) && std::isnan(expected))) << k;
  }
}

// The sort in place: `values` ends up sorted and the former positions are returned.
std::vector<std::size_t> sort_in_place(std::vector<float>& values) {
  const auto pairs = argsort_pairs(values);
  std::vector<std::size_t> order(pairs.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    values[k] = pairs[k].value;
    order[k] = pairs[k].index;
  }
  return order;
}

std::vector<std::size_t> argsort_copy(std::vector<float> values) {
  return sort_in_place(values);
}

TEST(ArgsortSmall, EmptyAndSingle) {
  std::vector<float> empty;
  EXPECT_TRUE(sort_in_place(empty).empty());
  std::vector<float> one{3.5f};
  EXPECT_EQ(sort_in_place(one), (std::vector<std::size_t>{0}));
  EXPECT_EQ(one, (std::vector<float>{3.5f}));
}

TEST(ArgsortSmall, InsertionSortKeepsTiesInOrder) {
  std::vector<float> values{2, 1, 2, 1, 0, 2, 1};
  EXPECT_EQ(sort_in_place(values), (std::vector<std::size_t>{4, 1, 3, 6, 0, 2, 5}));
  EXPECT_EQ(values, (std::vector<float>{0, 1, 1, 1, 2, 2, 2}));
}

TEST(ArgsortPartition, EightEqualValues) {
  // l = 0, r = 7: k = 3, swap 3 and 1 -> idx 0 3 2 1 4 5 6 7; no median swaps; pivot idx 3.
  // Scans stop on every equal value: swap (2, 6) -> 0 3 6 1 4 5 2 7, swap (3, 5) ->
  // 0 3 6 5 4 1 2 7, then i = j = 4 (self swap), then i = 5, j = 3 ends the partition.
  // Pivot placement: idx[1] = idx[3] = 5, idx[3] = 3 -> 0 5 6 3 4 1 2 7. Right part [5, 7]
  // (size 3 >= left size 3) is pushed, [0, 2] and then [5, 7] are insertion-sorted unchanged.
  EXPECT_EQ(argsort_copy({1, 1, 1, 1, 1, 1, 1, 1}),
            (std::vector<std::size_t>{0, 5, 6, 3, 4, 1, 2, 7}));
}

TEST(ArgsortPartition, AlternatingTwoValues) {
  // v = 2 1 2 1 2 1 2 1. Swap 3 and 1 (both 1): idx 0 3 2 1 4 5 6 7. v[0] > v[7]: swap ->
  // v 1 1 2 1 2 1 2 2, idx 7 3 2 1 4 5 6 0. Pivot a = 1 (idx 3). i = 2 (2), j = 5 (1): swap
  // -> v 1 1 1 1 2 2 2 2, idx 7 3 5 1 4 2 6 0. i = 3, j = 3: self swap. i = 4, j = 2: done.
  // Pivot to 2: idx[1] = 5, idx[2] = 3 -> 7 5 3 1 4 2 6 0. Push [4, 7], sort [0, 1] and
  // [4, 7] by insertion: equal values, no change.
  std::vector<float> values{2, 1, 2, 1, 2, 1, 2, 1};
  EXPECT_EQ(sort_in_place(values), (std::vector<std::size_t>{7, 5, 3, 1, 4, 2, 6, 0}));
  EXPECT_EQ(values, (std::vector<float>{1, 1, 1, 1, 2, 2, 2, 2}));
}

TEST(ArgsortPartition, TiesMovedAcrossTheInsertionStep) {
  // v = 5 5 5 5 5 5 2 9. Swap 3 and 1 (both 5): idx 0 3 2 1 4 5 6 7; no median swaps; pivot
  // 5 (idx 3). i = 2 (5), j = 6 (2): swap -> v 5 5 2 5 5 5 5 9, idx 0 3 6 1 4 5 2 7. i = 3,
  // j = 5: swap -> idx 0 3 6 5 4 1 2 7. i = j = 4: self swap. i = 5, j = 3: done. Pivot to 3:
  // idx 0 5 6 3 4 1 2 7. Push [5, 7]; insertion sort of [0, 2] (5 5 2, idx 0 5 6) moves the 2
  // to the front -> 6 0 5; [5, 7] (5 5 9) is already in order.
  EXPECT_EQ(argsort_copy({5, 5, 5, 5, 5, 5, 2, 9}),
            (std::vector<std::size_t>{6, 0, 5, 3, 4, 1, 2, 7}));
}

TEST(ArgsortPartition, LargerLeftPartIsPushed) {
  // v = 8 7 6 5 4 3 2 9: the pivot 8 ends at position 6, so the left part [0, 5] is pushed
  // and the single right element is handled first.
  EXPECT_EQ(argsort_copy({8, 7, 6, 5, 4, 3, 2, 9}),
            (std::vector<std::size_t>{6, 5, 4, 3, 2, 1, 0, 7}));
}

TEST(ArgsortPartition, SignedZerosAreTiesAndKeepTheirBits) {
  // Same pattern as AlternatingTwoValues with -0 for 1 and +0 for 2; -0 == +0, so the order
  // is the all-equal one.
  std::vector<float> values{0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f};
  const std::vector<float> original = values;
  const auto order = sort_in_place(values);
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 5, 6, 3, 4, 1, 2, 7}));
  for (std::size_t k = 0; k < order.size(); ++k) {
    EXPECT_EQ(std::signbit(values[k]), std::signbit(original[order[k]]));
  }
}

TEST(ArgsortProperty, ManyTiesSortAndPermute) {
  std::mt19937 gen(11);
  for (const std::size_t n : {8, 9, 15, 16, 17, 100, 1000, 50000}) {
    for (const unsigned distinct : {1u, 2u, 3u, 10u, 1000000u}) {
      std::vector<float> values(n);
      for (float& v : values) {
        v = static_cast<float>(gen() % distinct) - 2.0f;
      }
      const std::vector<float> original = values;
      const auto order = sort_in_place(values);
      EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << n << " " << distinct;
      expect_consistent(original, values, order);
    }
  }
}

TEST(ArgsortProperty, SortedAndReversedInputs) {
  for (const std::size_t n : {8, 64, 1025, 100000}) {
    std::vector<float> up(n);
    std::vector<float> down(n);
    for (std::size_t k = 0; k < n; ++k) {
      up[k] = static_cast<float>(k);
      down[k] = static_cast<float>(n - k);
    }
    const auto up_order = argsort_copy(up);
    const auto down_order = argsort_copy(down);
    for (std::size_t k = 0; k < n; ++k) {
      ASSERT_EQ(up_order[k], k);
      ASSERT_EQ(down_order[k], n - 1 - k);
    }
  }
}

TEST(ArgsortNaN, EveryPatternOfNaNInfinitiesAndTiesStaysInBounds) {
  // Exhaustive over short vectors (long enough to partition) from a five-value alphabet, and
  // six-value vectors of length 9: each result must be a permutation of the positions, the
  // moved values must match it, and the non-NaN values must be sorted when there is no NaN.
  // Run under the address sanitizer this also shows that no scan leaves the vector.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> alphabets{{nan, -inf, 0.0f, 1.0f, inf},
                                                  {nan, -inf, -0.0f, 1.0f, nan, inf}};
  const std::vector<std::size_t> lengths{8, 9};
  for (std::size_t a = 0; a < alphabets.size(); ++a) {
    const auto& alphabet = alphabets[a];
    const std::size_t n = lengths[a];
    std::size_t patterns = 1;
    for (std::size_t k = 0; k < n; ++k) {
      patterns *= alphabet.size();
    }
    for (std::size_t code = 0; code < patterns; code += a == 0 ? 1 : 7) {
      std::vector<float> values(n);
      std::size_t rest = code;
      bool has_nan = false;
      for (float& v : values) {
        v = alphabet[rest % alphabet.size()];
        rest /= alphabet.size();
        has_nan = has_nan || std::isnan(v);
      }
      const std::vector<float> original = values;
      const auto order = sort_in_place(values);
      ASSERT_TRUE(is_permutation_of_positions(order)) << code;
      for (std::size_t k = 0; k < n; ++k) {
        const float expected = original[order[k]];
        ASSERT_TRUE(values[k] == expected || (std::isnan(values[k]) && std::isnan(expected)));
      }
      if (!has_nan) {
        ASSERT_TRUE(std::is_sorted(values.begin(), values.end())) << code;
      }
    }
  }
}

TEST(ArgsortNaN, LongColumnsWithNaNAreDeterministicPermutations) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::mt19937 gen(5);
  std::vector<std::vector<float>> columns;
  columns.emplace_back(5000, nan);
  std::vector<float> mixed(20000);
  for (float& v : mixed) {
    const unsigned pick = gen() % 8;
    v = pick == 0 ? nan : pick == 1 ? inf : pick == 2 ? -inf : static_cast<float>(gen() % 4);
  }
  columns.push_back(mixed);
  std::vector<float> runs(20000);
  for (std::size_t k = 0; k < runs.size(); ++k) {
    runs[k] = (k / 1000) % 3 == 0 ? nan : static_cast<float>((k / 1000) % 2);
  }
  columns.push_back(runs);
  for (const auto& column : columns) {
    std::vector<float> first = column;
    std::vector<float> second = column;
    const auto order = sort_in_place(first);
    EXPECT_EQ(sort_in_place(second), order);
    expect_consistent(column, first, order);
  }
  // Without NaN the infinities sort to the ends.
  std::vector<float> no_nan{inf, 1, -inf, 0, inf, -inf, 2, 1, 0};
  const auto order = sort_in_place(no_nan);
  EXPECT_TRUE(std::is_sorted(no_nan.begin(), no_nan.end()));
  EXPECT_EQ(no_nan.front(), -inf);
  EXPECT_EQ(no_nan.back(), inf);
  EXPECT_TRUE(is_permutation_of_positions(order));
}

// The block-wise partition scans against the element-by-element ones: the same pairs in the
// same order, on long columns of every tie density, both zeros, NaN and infinities, and on
// runs, sorted, reversed and organ-pipe inputs, where the blocks meet the scans at every
// offset.
TEST(ArgsortPartition, BlockScansExchangeLikeTheElementScans) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::mt19937 gen(11);
  std::vector<std::vector<float>> columns;
  for (const unsigned distinct : {2u, 5u, 64u, 1000u, 0u}) {
    std::vector<float> column(3000 + gen() % 40000);
    for (float& v : column) {
      const unsigned pick = gen() % 50;
      v = pick == 0       ? nan
          : pick == 1     ? (gen() % 2 == 0 ? inf : -inf)
          : pick < 5      ? (gen() % 2 == 0 ? 0.0f : -0.0f)
          : distinct == 0 ? std::normal_distribution<float>(0.0f, 1.0f)(gen)
                          : static_cast<float>(gen() % distinct);
    }
    columns.push_back(column);
  }
  std::vector<float> shaped(20000);
  for (std::size_t k = 0; k < shaped.size(); ++k) {
    shaped[k] = static_cast<float>(k < 10000 ? k : 20000 - k);
  }
  columns.push_back(shaped);
  std::reverse(shaped.begin(), shaped.end());
  columns.push_back(shaped);
  std::sort(shaped.begin(), shaped.end());
  columns.push_back(shaped);
  for (std::size_t k = 0; k < shaped.size(); ++k) {
    shaped[k] = static_cast<float>((k / 300) % 7);
  }
  columns.push_back(shaped);
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const auto blocks = argsort_pairs(columns[c], PartitionScans::blocks);
    const auto plain = argsort_pairs(columns[c], PartitionScans::one_by_one);
    ASSERT_EQ(blocks.size(), plain.size());
    for (std::size_t k = 0; k < plain.size(); ++k) {
      ASSERT_EQ(blocks[k].index, plain[k].index) << "column " << c << " rank " << k;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(blocks[k].value),
                std::bit_cast<std::uint32_t>(plain[k].value))
          << "column " << c << " rank " << k;
    }
  }
}

// A pending cancellation stops a long sort (its first partition already looks); cleared, the
// same sort runs to the end.
TEST(ArgsortCancellation, ALongSortStopsWhileCancellationIsPending) {
  std::vector<float> values(1 << 17);
  std::mt19937 gen(3);
  for (float& v : values) {
    v = static_cast<float>(gen() % 1000);
  }
  request_cancellation();
  EXPECT_THROW(argsort_pairs(values), Cancelled);
  clear_cancellation();
  sort_in_place(values);
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

}  // namespace
}  // namespace tacitor
