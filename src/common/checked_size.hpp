#pragma once
// Size arithmetic for buffers whose dimensions come from Python. An overflowing product can
// never be allocated, so it is reported the way an impossible allocation is: std::bad_alloc,
// which the module boundary raises as MemoryError.

#include <cstddef>
#include <new>

namespace tacitor {

inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw std::bad_alloc();
  }
  return product;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    throw std::bad_alloc();
  }
  return sum;
}

}  // namespace tacitor
