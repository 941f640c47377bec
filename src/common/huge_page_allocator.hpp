#pragma once
// An allocator for large arrays that are read at random, such as the row states of a fit whose
// split search gathers them.
//
// With 4 KiB pages, a random read anywhere in an array of tens of MiB misses the TLB as well
// as the cache, and the page walk adds to every miss. Blocks of 2 MiB or more are therefore
// aligned to 2 MiB and offered to the kernel as candidates for transparent huge pages. The
// advice changes only where the memory sits, never what it holds; where the kernel or the
// platform ignores it, the array behaves as any other. The rounding up to whole huge pages adds
// less than 2 MiB to a block.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tacitor {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Bytes that a block of `bytes` takes: whole huge pages from 2 MiB up, `bytes` below (and
// the largest value where rounding up would overflow).
constexpr std::uint64_t huge_page_block_bytes(std::uint64_t bytes) noexcept {
  if (bytes < kHugePageBytes) {
    return bytes;
  }
  if (bytes > std::numeric_limits<std::uint64_t>::max() - kHugePageBytes) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

// Places blocks of 2 MiB or more in huge pages when made with `in_huge_pages` set, and
// allocates as std::allocator does otherwise.
template <class T>
class HugePageAllocator {
 public:
  using value_type = T;

  explicit HugePageAllocator(bool in_huge_pages) noexcept : in_huge_pages_(in_huge_pages) {}
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>& other) noexcept
      : in_huge_pages_(other.in_huge_pages()) {}

  bool in_huge_pages() const noexcept { return in_huge_pages_; }

  T* allocate(std::size_t n) {
    if (n > (std::numeric_limits<std::size_t>::max() - kHugePageBytes) / sizeof(T)) {
      throw std::bad_alloc();
    }
    if (!huge(n)) {
      return std::allocator<T>{}.allocate(n);
    }
    // aligned_alloc wants a multiple of the alignment.
    const auto rounded = static_cast<std::size_t>(huge_page_block_bytes(n * sizeof(T)));
    void* block = std::aligned_alloc(kHugePageBytes, rounded);
    if (block == nullptr) {
      throw std::bad_alloc();
    }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: a refusal leaves ordinary pages.
    (void)madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(block);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (huge(n)) {
      std::free(p);
    } else {
      std::allocator<T>{}.deallocate(p, n);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>& other) const noexcept {
    return in_huge_pages_ == other.in_huge_pages();
  }

 private:
  bool huge(std::size_t n) const noexcept {
    return in_huge_pages_ && n * sizeof(T) >= kHugePageBytes;
  }

  bool in_huge_pages_;
};

}  // namespace tacitor
