#pragma once
// argsort_mut: in-place ascending sort of a float vector that also reports where every value
// came from.
//
// The algorithm is a fixed quicksort (median of three, insertion sort for short ranges, an
// explicit 64-entry stack), not std::sort: the order it gives equal values decides the order
// in which the split search adds targets, and so the last bits of its sums.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tacitor {

// Sorts `values` ascending in place and returns the former positions in sorted order: entry k
// is the position the k-th smallest value had before the call. An empty vector gives an empty
// order. NaN values compare false with everything; they end up somewhere in the order, every
// access stays within bounds and the result is always a permutation.
std::vector<std::size_t> argsort_mut(std::vector<float>& values);

template <class Index>
struct ValueAndIndex {
  float value;
  Index index;
};

// The same sort of a copy of `values`, as (value, former position) pairs in sorted order, with
// 32-bit positions. More values than a 32-bit position addresses are refused as exhausted
// memory (std::bad_alloc).
std::vector<ValueAndIndex<std::uint32_t>> argsort_pairs(const std::vector<float>& values);

}  // namespace tacitor
