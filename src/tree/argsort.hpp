#pragma once
// argsort_pairs: ascending sort of a float vector that also reports where every value came
// from.
//
// The algorithm is a fixed quicksort (median of three, insertion sort for short ranges, an
// explicit 64-entry stack), not std::sort: the order it gives equal values decides the order
// in which the split search adds targets, and so the last bits of its sums.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tacitor {

template <class Index>
struct ValueAndIndex {
  float value;
  Index index;
};

// How a partition finds the elements it exchanges: element by element, or block by block
// without a branch per element. Both make the same exchanges in the same order.
enum class PartitionScans { blocks, one_by_one };

// Sorts a copy of `values` ascending and returns (value, former position) pairs in sorted
// order: entry k holds the k-th smallest value and the position it had in `values`. An empty
// vector gives an empty result. NaN values compare false with everything; they end up
// somewhere in the order, every access stays within bounds and the positions are always a
// permutation. More values than a 32-bit position addresses are refused as exhausted memory
// (std::bad_alloc). A long sort throws Cancelled when cancellation is requested meanwhile.
std::vector<ValueAndIndex<std::uint32_t>> argsort_pairs(
    const std::vector<float>& values, PartitionScans scans = PartitionScans::blocks);

}  // namespace tacitor
