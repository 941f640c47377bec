#pragma once
// The single-precision hypotenuse sqrt(x² + y²) of the factorisations, with the same bits on
// every processor and C library.
//
// C libraries do not agree on hypotf to the last bit, and none is required to: glibc (2.35
// and later, on every processor) computes it in double precision and rounds twice, which
// is not always the correctly rounded result (x = 0x1.0000e4p+23, y = 0x1.6a0a88p+11 gives
// 0x1.0000e4p+23 where the correct rounding is 0x1.0000e6p+23); other libraries compute it
// differently. So the factorisations do not call the C library: this is glibc's arithmetic,
// built from IEEE basic operations alone, which every processor rounds the same way.
//
// In double precision both squares are exact (24-bit significands give at most 48 bits) and
// neither overflows nor underflows, so the sum and the square root are the only roundings
// before the final one to float.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tacitor::linalg {

// A signalling NaN has the leading bit of its significand clear.
inline bool is_signalling_nan(float v) {
  return std::isnan(v) && (std::bit_cast<std::uint32_t>(v) & 0x00400000u) == 0;
}

inline float hypotenuse(float x, float y) {
  if (!std::isfinite(x) || !std::isfinite(y)) {
    // An infinite side gives +inf even beside a quiet NaN, as C requires of hypot; otherwise
    // a NaN comes through x + y, quietened (which NaN, when both are, is the processor's
    // rule for the addition).
    if ((std::isinf(x) || std::isinf(y)) && !is_signalling_nan(x) && !is_signalling_nan(y)) {
      return std::numeric_limits<float>::infinity();
    }
    return x + y;
  }
  const double xx = static_cast<double>(x) * static_cast<double>(x);
  const double yy = static_cast<double>(y) * static_cast<double>(y);
  return static_cast<float>(std::sqrt(xx + yy));
}

}  // namespace tacitor::linalg
