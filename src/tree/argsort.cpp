#include "tree/argsort.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"

namespace tacitor {

namespace {

// Ranges of at most this many elements plus one are sorted by straight insertion.
constexpr std::ptrdiff_t kInsertionSortLimit = 7;
// The larger part of every partition is pushed and the smaller one processed next, so the
// range being processed at least halves per pushed pair: 32 pairs cover any vector that fits
// in memory.
constexpr std::ptrdiff_t kStackSize = 64;
// Partitions of at least this many elements first look for a cancellation request: one
// relaxed load per pass of a few milliseconds, so that a sort of millions of values stops
// within one such pass rather than at its end.
constexpr std::ptrdiff_t kCancellationCheckLength = 1 << 16;

// Elements per block of a block-wise partition scan.
constexpr std::ptrdiff_t kBlock = 64;

// The first exchanges of a partition of p[l..r] around the value `a`, found block by block.
// The element-by-element scans stop, from the left, at every position whose value is not less
// than `a` and, from the right, at every position whose value is not greater, and exchange
// the k-th stop of each side until the two cross. While the unscanned middle holds two blocks,
// a block of each side has no position in common with the other side's, so its stops can be
// listed without a branch per element, and the k-th stops of the two lists are exactly the
// k-th pair the scans would meet: no stop reached so far lies in a position an exchange has
// written. The lists are exchanged pairwise, a side's unused stops kept for the next block.
// `i` and `j` come in as the scans' start (l + 1 and r) and leave at the last pair exchanged,
// from where the element-by-element scans find the same remaining exchanges; only the
// mispredicted branch per element is gone.
template <class Index>
void exchange_by_blocks(ValueAndIndex<Index>* p, float a, std::ptrdiff_t& i, std::ptrdiff_t& j) {
  std::array<std::uint8_t, kBlock> lower_stops{};
  std::array<std::uint8_t, kBlock> upper_stops{};
  std::ptrdiff_t left = i + 1;   // first position the left side has not listed
  std::ptrdiff_t right = j - 1;  // last position the right side has not listed
  std::ptrdiff_t left_base = left;
  std::ptrdiff_t right_base = right;
  std::ptrdiff_t lower_first = 0;
  std::ptrdiff_t lower_count = 0;
  std::ptrdiff_t upper_first = 0;
  std::ptrdiff_t upper_count = 0;
  while (right - left + 1 >= 2 * kBlock) {
    if (lower_count == 0) {
      left_base = left;
      lower_first = 0;
      for (std::ptrdiff_t t = 0; t < kBlock; ++t) {
        lower_stops[static_cast<std::size_t>(lower_count)] = static_cast<std::uint8_t>(t);
        lower_count += !(p[left + t].value < a) ? 1 : 0;
      }
      left += kBlock;
    }
    if (upper_count == 0) {
      right_base = right;
      upper_first = 0;
      for (std::ptrdiff_t t = 0; t < kBlock; ++t) {
        upper_stops[static_cast<std::size_t>(upper_count)] = static_cast<std::uint8_t>(t);
        upper_count += !(p[right - t].value > a) ? 1 : 0;
      }
      right -= kBlock;
    }
    const std::ptrdiff_t pairs = std::min(lower_count, upper_count);
    for (std::ptrdiff_t k = 0; k < pairs; ++k) {
      i = left_base + lower_stops[static_cast<std::size_t>(lower_first + k)];
      j = right_base - upper_stops[static_cast<std::size_t>(upper_first + k)];
      std::swap(p[i], p[j]);
    }
    lower_first += pairs;
    lower_count -= pairs;
    upper_first += pairs;
    upper_count -= pairs;
  }
}

// The sort proper, on (value, former position) pairs kept side by side, so that every move
// touches one place in memory.
template <class Index>
void sort_pairs(std::vector<ValueAndIndex<Index>>& pairs, PartitionScans scans) {
  const std::size_t n = pairs.size();
  if (n == 0) {
    return;
  }
  ValueAndIndex<Index>* p = pairs.data();
  auto swap_at = [p](std::ptrdiff_t a, std::ptrdiff_t b) { std::swap(p[a], p[b]); };

  // Signed positions: the insertion walk steps below l, and the partition's j can end at l.
  // A std::vector never holds more than PTRDIFF_MAX elements, so n - 1 fits.
  std::array<std::ptrdiff_t, kStackSize> stack{};
  std::ptrdiff_t s = -1;
  std::ptrdiff_t l = 0;
  std::ptrdiff_t r = static_cast<std::ptrdiff_t>(n) - 1;

  for (;;) {
    if (r - l < kInsertionSortLimit) {
      for (std::ptrdiff_t j = l + 1; j <= r; ++j) {
        const ValueAndIndex<Index> a = p[j];
        std::ptrdiff_t i = j - 1;
        for (; i >= l && p[i].value > a.value; --i) {
          p[i + 1] = p[i];
        }
        p[i + 1] = a;
      }
      if (s < 0) {
        break;
      }
      r = stack[s];
      l = stack[s - 1];
      s -= 2;
      continue;
    }

    if (r - l >= kCancellationCheckLength) {
      throw_if_cancelled();
    }
    const std::ptrdiff_t k = (l + r) / 2;
    swap_at(k, l + 1);
    if (p[l].value > p[r].value) {
      swap_at(l, r);
    }
    if (p[l + 1].value > p[r].value) {
      swap_at(l + 1, r);
    }
    if (p[l].value > p[l + 1].value) {
      swap_at(l, l + 1);
    }
    const ValueAndIndex<Index> pivot = p[l + 1];
    const float a = pivot.value;
    std::ptrdiff_t i = l + 1;
    std::ptrdiff_t j = r;
    if (scans == PartitionScans::blocks) {
      exchange_by_blocks(p, a, i, j);
    }
    // The scans need no bounds tests, NaN included. The median of three leaves !(v[r] < a)
    // and the pivot itself satisfies !(a > a). After every swap the element at j satisfies
    // !(v[j] < a) and the one at i satisfies !(v[i] > a), and every element a scan passes
    // over (v < a, resp. v > a, both ordered comparisons) also stops the other scan. So i
    // never passes the last element not yet claimed by j (at most r), and j never passes the
    // pivot at l + 1.
    for (;;) {
      do {
        ++i;
      } while (p[i].value < a);
      do {
        --j;
      } while (p[j].value > a);
      if (j < i) {
        break;
      }
      swap_at(i, j);
    }
    p[l + 1] = p[j];
    p[j] = pivot;

    s += 2;
    if (s >= kStackSize) {
      raise_internal_failure("stack size is too small.");
    }
    if (r - i + 1 >= j - l) {
      stack[s] = r;
      stack[s - 1] = i;
      r = j - 1;
    } else {
      stack[s] = j - 1;
      stack[s - 1] = l;
      l = i;
    }
  }
}

template <class Index>
std::vector<ValueAndIndex<Index>> numbered(const std::vector<float>& values) {
  std::vector<ValueAndIndex<Index>> pairs(values.size());
  for (std::size_t k = 0; k < values.size(); ++k) {
    pairs[k] = {values[k], static_cast<Index>(k)};
  }
  return pairs;
}

}  // namespace

std::vector<ValueAndIndex<std::uint32_t>> argsort_pairs(const std::vector<float>& values,
                                                        PartitionScans scans) {
  if (values.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::bad_alloc();
  }
  std::vector<ValueAndIndex<std::uint32_t>> pairs = numbered<std::uint32_t>(values);
  sort_pairs(pairs, scans);
  return pairs;
}

}  // namespace tacitor
