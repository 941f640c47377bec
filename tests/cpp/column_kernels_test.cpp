// The column kernels against textbook loops, bit for bit, at every instruction-set level, on
// random and adversarial columns (huge and tiny scales, zeros of both signs, subnormals,
// constant columns) and on lengths around every vector and block width.

#include "linalg/basic/column_kernels.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "instruction_levels.hpp"

namespace tacitor {
namespace {

using testing::for_each_instruction_set;

// Column c of an m-row matrix: random values of a scale that depends on c, with zeros of
// both signs, subnormals and constant stretches mixed in.
std::vector<float> adversarial_columns(std::size_t m, std::size_t ncols, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const float scales[] = {1.0f, 1e30f, 1e-30f, 1e-41f, 3.0f};
  std::vector<float> values(m * ncols);
  for (std::size_t c = 0; c < ncols; ++c) {
    for (std::size_t r = 0; r < m; ++r) {
      float value = uniform(generator) * scales[(c + r / 7) % 5];
      switch ((r * 31 + c * 17 + seed) % 23) {
        case 0:
          value = 0.0f;
          break;
        case 1:
          value = -0.0f;
          break;
        case 2:
          value = 0.5f;
          break;
        default:
          break;
      }
      values[c * m + r] = c % 6 == 5 ? 0.25f : value;
    }
  }
  return values;
}

void expect_same_bits(const std::vector<float>& expected, const std::vector<float>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(expected[i]), std::bit_cast<std::uint32_t>(actual[i]))
        << "element " << i << ": " << expected[i] << " vs " << actual[i];
  }
}

const std::size_t kLengths[] = {1, 5, 16, 17, 63, 64, 65, 300, 1024};

TEST(ColumnKernels, DotsAndScaledAddMatchPlainLoops) {
  for_each_instruction_set([] {
    for (const std::size_t m : kLengths) {
      for (const std::size_t count : {1u, 3u, 8u, 15u, 16u, 17u, 40u}) {
        const std::vector<float> a = adversarial_columns(m, count + 1, m + count);
        const std::size_t begin = m / 3;
        std::vector<float> expected(count), actual(count, -1.0f);
        for (std::size_t q = 0; q < count; ++q) {
          float sum = 0.0f;
          for (std::size_t r = begin; r < m; ++r) {
            const float product = a[r] * a[(q + 1) * m + r];
            sum = sum + product;
          }
          expected[q] = sum;
        }
        linalg::column_dots(a.data(), a.data() + m, m, count, begin, m, actual.data());
        expect_same_bits(expected, actual);

        std::vector<float> plain = a, fast = a;
        for (std::size_t r = begin; r < m; ++r) {
          const float product = 1.5f * a[r];
          plain[m + r] = product + plain[m + r];
        }
        linalg::scaled_add(1.5f, fast.data(), fast.data() + m, begin, m);
        expect_same_bits(plain, fast);
      }
    }
  });
}

TEST(ColumnKernels, RowUpdateAndRotationsMatchPlainLoops) {
  for_each_instruction_set([] {
    for (const std::size_t m : kLengths) {
      const std::size_t n = 9;
      const std::vector<float> a = adversarial_columns(m, n, static_cast<unsigned>(m));
      const std::vector<float> u = adversarial_columns(n, 1, 3);
      const std::vector<float> e = adversarial_columns(n, 1, 4);
      std::vector<float> plain = a, fast = a;
      for (std::size_t r = 1; r < m; ++r) {
        float t = 0.0f;
        for (std::size_t k = 2; k < n; ++k) {
          const float product = plain[k * m + r] * u[k];
          t = t + product;
        }
        for (std::size_t k = 2; k < n; ++k) {
          const float product = t * e[k];
          plain[k * m + r] = product + plain[k * m + r];
        }
      }
      linalg::rank_one_row_update(fast.data(), m, 2, n, u.data(), e.data(), 1, m);
      expect_same_bits(plain, fast);

      const linalg::ColumnRotation rotations[] = {
          {0, 1, 0.6f, 0.8f}, {3, 2, -0.28f, 0.96f}, {4, 4, 0.6f, 0.8f}, {8, 0, 1e-20f, 1.0f}};
      plain = a;
      fast = a;
      for (const linalg::ColumnRotation& rotation : rotations) {
        for (std::size_t r = 0; r < m; ++r) {
          const float y = plain[rotation.p * m + r];
          const float z = plain[rotation.q * m + r];
          plain[rotation.p * m + r] = y * rotation.c + z * rotation.s;
          plain[rotation.q * m + r] = z * rotation.c - y * rotation.s;
        }
      }
      std::vector<std::size_t> negatives(n, 1);
      linalg::apply_rotations(fast.data(), m, m, n, rotations, 4, negatives.data());
      expect_same_bits(plain, fast);
      for (std::size_t c = 0; c < n; ++c) {
        std::size_t expected = 1;
        for (std::size_t r = 0; r < m; ++r) {
          expected += plain[c * m + r] < 0.0f ? 1 : 0;
        }
        EXPECT_EQ(negatives[c], expected) << "column " << c;
      }
    }
  });
}

TEST(InstructionSet, NamesAndFallback) {
  using linalg::InstructionSet;
  for (const InstructionSet level :
       {InstructionSet::baseline, InstructionSet::avx2, InstructionSet::avx512}) {
    EXPECT_EQ(linalg::parse_instruction_set(linalg::instruction_set_name(level)), level);
    const InstructionSet clamped = linalg::clamp_instruction_set(level);
    EXPECT_TRUE(linalg::instruction_set_supported(clamped));
    EXPECT_LE(static_cast<int>(clamped), static_cast<int>(level));
  }
  EXPECT_FALSE(linalg::parse_instruction_set("sse9").has_value());
  EXPECT_TRUE(linalg::instruction_set_supported(InstructionSet::baseline));
}

}  // namespace
}  // namespace tacitor
