#pragma once
// The tree's random generator: xoshiro128++ with its 128-bit state filled from a 64-bit seed
// by four PCG32 steps, plus the uniform draws and the shuffle the split search needs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tacitor {

class Xoshiro128PlusPlus {
 public:
  // The raw state; an all-zero state (the one fixed point of the generator) is replaced by
  // the state that seed 0 gives.
  explicit Xoshiro128PlusPlus(const std::array<std::uint32_t, 4>& state);

  // State words = four consecutive outputs of a PCG32 (XSH-RR) generator started at `seed`.
  static Xoshiro128PlusPlus from_seed(std::uint64_t seed);

  std::uint32_t next_u32() noexcept;
  // Two outputs, the first one in the low half.
  std::uint64_t next_u64() noexcept;
  // A uniformly distributed integer in [0, bound); 0 when bound is 0 or 1.
  std::uint64_t below(std::uint64_t bound) noexcept;

  const std::array<std::uint32_t, 4>& state() const noexcept { return state_; }

 private:
  std::array<std::uint32_t, 4> state_;
};

// The generator of one fit: seeded from `random_seed`, 0 when absent.
Xoshiro128PlusPlus get_rng_impl(std::optional<std::uint64_t> random_seed);

// Fisher-Yates: every permutation of `items` is equally likely.
void shuffle(std::vector<std::size_t>& items, Xoshiro128PlusPlus& rng);

}  // namespace tacitor
