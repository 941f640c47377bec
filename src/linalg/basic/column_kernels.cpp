#include "linalg/basic/column_kernels.hpp"

#include <algorithm>

namespace tacitor::linalg {

namespace {

// Sums of `width` columns in one pass over the rows. The sums are independent of each other,
// so they overlap in the pipeline instead of waiting on one addition chain.
template <std::size_t width>
void column_dots_group(const float* x, const float* first, std::size_t stride, std::size_t begin,
                       std::size_t end, float* out) {
  float sums[width];
  const float* cols[width];
  for (std::size_t q = 0; q < width; ++q) {
    sums[q] = 0.0f;
    cols[q] = first + q * stride;
  }
  for (std::size_t r = begin; r < end; ++r) {
    const float xr = x[r];
    for (std::size_t q = 0; q < width; ++q) {
      const float product = xr * cols[q][r];
      sums[q] = sums[q] + product;
    }
  }
  for (std::size_t q = 0; q < width; ++q) {
    out[q] = sums[q];
  }
}

// Rows per block in apply_rotations: a block of a 64-column matrix is 64 KiB, which stays in
// the L2 cache of any current core while all rotations of the list pass over it.
constexpr std::size_t kRotationBlockFloats = 16384;

}  // namespace

void column_dots(const float* x, const float* first, std::size_t stride, std::size_t count,
                 std::size_t begin, std::size_t end, float* out) {
  // Groups of up to eight, so that a remainder never falls back to a lone addition chain.
  for (std::size_t q = 0; q < count; q += 8) {
    const float* group = first + q * stride;
    switch (std::min<std::size_t>(count - q, 8)) {
      case 8:
        column_dots_group<8>(x, group, stride, begin, end, out + q);
        break;
      case 7:
        column_dots_group<7>(x, group, stride, begin, end, out + q);
        break;
      case 6:
        column_dots_group<6>(x, group, stride, begin, end, out + q);
        break;
      case 5:
        column_dots_group<5>(x, group, stride, begin, end, out + q);
        break;
      case 4:
        column_dots_group<4>(x, group, stride, begin, end, out + q);
        break;
      case 3:
        column_dots_group<3>(x, group, stride, begin, end, out + q);
        break;
      case 2:
        column_dots_group<2>(x, group, stride, begin, end, out + q);
        break;
      default:
        column_dots_group<1>(x, group, stride, begin, end, out + q);
        break;
    }
  }
}

void scaled_add(float f, const float* x, float* y, std::size_t begin, std::size_t end) {
  for (std::size_t r = begin; r < end; ++r) {
    const float product = f * x[r];
    y[r] = product + y[r];
  }
}

void rotate_columns(float* col_p, float* col_q, std::size_t nrows, float c, float s) {
  if (col_p == col_q) {
    // Rotating a column with itself: the second assignment wins.
    for (std::size_t r = 0; r < nrows; ++r) {
      const float y = col_p[r];
      col_p[r] = y * c - y * s;
    }
    return;
  }
  for (std::size_t r = 0; r < nrows; ++r) {
    const float y = col_p[r];
    const float z = col_q[r];
    col_p[r] = y * c + z * s;
    col_q[r] = z * c - y * s;
  }
}

void apply_rotations(float* a, std::size_t nrows, std::size_t ncols,
                     const ColumnRotation* rotations, std::size_t count) {
  if (count == 0 || nrows == 0) {
    return;
  }
  const std::size_t block =
      std::max<std::size_t>(64, kRotationBlockFloats / std::max<std::size_t>(ncols, 1));
  for (std::size_t r0 = 0; r0 < nrows; r0 += block) {
    const std::size_t rows = std::min(block, nrows - r0);
    for (std::size_t t = 0; t < count; ++t) {
      const ColumnRotation& rotation = rotations[t];
      rotate_columns(a + rotation.p * nrows + r0, a + rotation.q * nrows + r0, rows, rotation.c,
                     rotation.s);
    }
  }
}

}  // namespace tacitor::linalg
