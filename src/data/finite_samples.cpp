#include "data/finite_samples.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tacitor::data {
namespace {

// A float is NaN or infinite exactly when its exponent bits are all ones. Testing the bits
// rather than calling std::isfinite keeps the count loop free of branches and calls, so the
// scan costs a fraction of the copy that precedes it.
constexpr std::uint32_t kExponentBits = 0x7f800000u;

bool is_non_finite(float value) noexcept {
  return (std::bit_cast<std::uint32_t>(value) & kExponentBits) == kExponentBits;
}

}  // namespace

std::optional<std::string> non_finite_error(const Array2& samples) {
  const float* values = samples.data();
  const std::size_t size = samples.size();
  std::size_t count = 0;
  for (std::size_t i = 0; i < size; ++i) {
    count += is_non_finite(values[i]) ? 1 : 0;
  }
  if (count == 0) {
    return std::nullopt;
  }
  std::size_t first = 0;
  while (!is_non_finite(values[first])) {
    ++first;
  }
  const std::string where = "series " + std::to_string(first / samples.cols()) + ", position " +
                            std::to_string(first % samples.cols());
  if (count == 1) {
    return "samples holds 1 NaN or infinite value (at " + where +
           "); fill or drop it before denoising";
  }
  return "samples holds " + std::to_string(count) + " NaN or infinite values (the first at " +
         where + "); fill or drop them before denoising";
}

}  // namespace tacitor::data
