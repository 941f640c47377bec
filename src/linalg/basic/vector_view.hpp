#pragma once
// A read-only, possibly strided view of float32 values, read in logical index order.

#include <cstddef>
#include <span>
#include <vector>

namespace tacitor {

class VectorView {
 public:
  VectorView(const float* data, std::size_t size, std::ptrdiff_t stride = 1)
      : data_(data), size_(size), stride_(stride) {}
  VectorView(std::span<const float> values) : VectorView(values.data(), values.size()) {}
  VectorView(const std::vector<float>& values) : VectorView(values.data(), values.size()) {}

  std::size_t size() const noexcept { return size_; }
  // Element i; the caller keeps i < size().
  float operator[](std::size_t i) const noexcept {
    return data_[static_cast<std::ptrdiff_t>(i) * stride_];
  }

 private:
  const float* data_;
  std::size_t size_;
  std::ptrdiff_t stride_;
};

}  // namespace tacitor
