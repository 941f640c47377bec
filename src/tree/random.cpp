#include "tree/random.hpp"

#include <bit>
#include <limits>
#include <utility>

namespace tacitor {

namespace {

// PCG32's LCG constants (Knuth's multiplier, the default stream increment).
constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;

std::uint32_t pcg32_step(std::uint64_t& state) noexcept {
  state = state * kPcgMultiplier + kPcgIncrement;
  const std::uint64_t x = state;
  const auto xorshifted = static_cast<std::uint32_t>(((x >> 18) ^ x) >> 27);
  const auto rotation = static_cast<int>(x >> 59);
  return std::rotr(xorshifted, rotation);
}

std::array<std::uint32_t, 4> pcg32_state(std::uint64_t seed) noexcept {
  std::array<std::uint32_t, 4> words{};
  for (auto& word : words) {
    word = pcg32_step(seed);
  }
  return words;
}

}  // namespace

Xoshiro128PlusPlus::Xoshiro128PlusPlus(const std::array<std::uint32_t, 4>& state) : state_(state) {
  if (state_ == std::array<std::uint32_t, 4>{}) {
    state_ = pcg32_state(0);
  }
}

Xoshiro128PlusPlus Xoshiro128PlusPlus::from_seed(std::uint64_t seed) {
  return Xoshiro128PlusPlus(pcg32_state(seed));
}

std::uint32_t Xoshiro128PlusPlus::next_u32() noexcept {
  auto& s = state_;
  const std::uint32_t result = std::rotl(s[0] + s[3], 7) + s[0];
  const std::uint32_t t = s[1] << 9;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = std::rotl(s[3], 11);
  return result;
}

std::uint64_t Xoshiro128PlusPlus::next_u64() noexcept {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return (high << 32) | low;
}

std::uint64_t Xoshiro128PlusPlus::below(std::uint64_t bound) noexcept {
  if (bound <= 1) {
    return 0;
  }
  // Lemire's multiply-and-reject: the high word of draw * bound is uniform on [0, bound) once
  // the draws whose low word falls into the short first interval are rejected. The product
  // of a 32-bit draw and a bound of at most 2^32 fits in 64 bits.
  if (bound <= (std::uint64_t{1} << 32)) {
    const std::uint64_t threshold = ((std::uint64_t{1} << 32) - bound) % bound;
    for (;;) {
      const std::uint64_t product = std::uint64_t{next_u32()} * bound;
      if ((product & 0xFFFFFFFFULL) >= threshold) {
        return product >> 32;
      }
    }
  }
  // Wider bounds: mask the draw to the smallest covering power of two and reject what falls
  // outside (fewer than half of the draws); no 128-bit arithmetic needed.
  const std::uint64_t mask =
      std::numeric_limits<std::uint64_t>::max() >> std::countl_zero(bound - 1);
  for (;;) {
    const std::uint64_t draw = next_u64() & mask;
    if (draw < bound) {
      return draw;
    }
  }
}

Xoshiro128PlusPlus get_rng_impl(std::optional<std::uint64_t> random_seed) {
  return Xoshiro128PlusPlus::from_seed(random_seed.value_or(0));
}

void shuffle(std::vector<std::size_t>& items, Xoshiro128PlusPlus& rng) {
  for (std::size_t i = items.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(rng.below(i));
    std::swap(items[i - 1], items[j]);
  }
}

}  // namespace tacitor
