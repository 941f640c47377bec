#include "tree/argsort.hpp"

#include <array>
#include <cstddef>
#include <utility>

#include "common/internal_failure.hpp"

namespace tacitor {

namespace {

// Ranges of at most this many elements plus one are sorted by straight insertion.
constexpr std::ptrdiff_t kInsertionSortLimit = 7;
// The larger part of every partition is pushed and the smaller one processed next, so the
// range being processed at least halves per pushed pair: 32 pairs cover any vector that fits
// in memory.
constexpr std::ptrdiff_t kStackSize = 64;

}  // namespace

std::vector<std::size_t> argsort_mut(std::vector<float>& values) {
  const std::size_t n = values.size();
  std::vector<std::size_t> idx(n);
  for (std::size_t k = 0; k < n; ++k) {
    idx[k] = k;
  }
  if (n == 0) {
    return idx;
  }

  float* v = values.data();
  std::size_t* id = idx.data();
  auto swap_at = [v, id](std::ptrdiff_t p, std::ptrdiff_t q) {
    std::swap(v[p], v[q]);
    std::swap(id[p], id[q]);
  };

  // Signed positions: the insertion walk steps below l, and the partition's j can end at l.
  // A std::vector never holds more than PTRDIFF_MAX elements, so n - 1 fits.
  std::array<std::ptrdiff_t, kStackSize> stack{};
  std::ptrdiff_t s = -1;
  std::ptrdiff_t l = 0;
  std::ptrdiff_t r = static_cast<std::ptrdiff_t>(n) - 1;

  for (;;) {
    if (r - l < kInsertionSortLimit) {
      for (std::ptrdiff_t j = l + 1; j <= r; ++j) {
        const float a = v[j];
        const std::size_t b = id[j];
        std::ptrdiff_t i = j - 1;
        for (; i >= l && v[i] > a; --i) {
          v[i + 1] = v[i];
          id[i + 1] = id[i];
        }
        v[i + 1] = a;
        id[i + 1] = b;
      }
      if (s < 0) {
        break;
      }
      r = stack[s];
      l = stack[s - 1];
      s -= 2;
      continue;
    }

    const std::ptrdiff_t k = (l + r) / 2;
    swap_at(k, l + 1);
    if (v[l] > v[r]) {
      swap_at(l, r);
    }
    if (v[l + 1] > v[r]) {
      swap_at(l + 1, r);
    }
    if (v[l] > v[l + 1]) {
      swap_at(l, l + 1);
    }
    const float a = v[l + 1];
    const std::size_t b = id[l + 1];
    std::ptrdiff_t i = l + 1;
    std::ptrdiff_t j = r;
    // The scans need no bounds tests, NaN included. The median of three leaves !(v[r] < a)
    // and the pivot itself satisfies !(a > a). After every swap the element at j satisfies
    // !(v[j] < a) and the one at i satisfies !(v[i] > a), and every element a scan passes
    // over (v < a, resp. v > a, both ordered comparisons) also stops the other scan. So i
    // never passes the last element not yet claimed by j (at most r), and j never passes the
    // pivot at l + 1.
    for (;;) {
      do {
        ++i;
      } while (v[i] < a);
      do {
        --j;
      } while (v[j] > a);
      if (j < i) {
        break;
      }
      swap_at(i, j);
    }
    v[l + 1] = v[j];
    id[l + 1] = id[j];
    v[j] = a;
    id[j] = b;

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
  return idx;
}

}  // namespace tacitor
