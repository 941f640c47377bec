#include "linalg/basic/column_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

// The element-wise loops are also built for AVX2 and picked at load time on processors that
// have it. Wider registers do the same IEEE operations on more elements at once, so the
// results are identical; fused multiply-add stays off either way. Sanitizer builds go without:
// the loader runs the clones' resolvers before the sanitizer runtime is ready.
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define TACITOR_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TACITOR_WIDE_CLONES
#endif

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

#if defined(__GNUC__) && defined(__has_builtin)
#if __has_builtin(__builtin_shufflevector)
#define TACITOR_VECTOR_DOTS 1
#endif
#endif

#ifdef TACITOR_VECTOR_DOTS
// Four floats in one register (SSE on x86, NEON on ARM). Lane q of an accumulator is the sum
// of column q: the lanes are added element-wise, so each column's sum still runs row by row.
typedef float Float4 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Sums of `valid` <= 4 * units columns in one pass. Four rows of four columns are loaded
// column-wise and transposed in registers so that each register holds one row of four
// columns. Lanes beyond `valid` repeat the last column and are discarded.
template <std::size_t units>
void column_dots_vector(const float* x, const float* first, std::size_t stride, std::size_t valid,
                        std::size_t begin, std::size_t end, float* out) {
  Float4 sums[units];
  const float* cols[4 * units];
  for (std::size_t u = 0; u < units; ++u) {
    sums[u] = Float4{0.0f, 0.0f, 0.0f, 0.0f};
  }
  for (std::size_t q = 0; q < 4 * units; ++q) {
    cols[q] = first + std::min(q, valid - 1) * stride;
  }
  std::size_t r = begin;
  for (; r + 4 <= end; r += 4) {
    const float x0 = x[r], x1 = x[r + 1], x2 = x[r + 2], x3 = x[r + 3];
    for (std::size_t u = 0; u < units; ++u) {
      const Float4 c0 = load4(cols[4 * u] + r);
      const Float4 c1 = load4(cols[4 * u + 1] + r);
      const Float4 c2 = load4(cols[4 * u + 2] + r);
      const Float4 c3 = load4(cols[4 * u + 3] + r);
      const Float4 lo01 = __builtin_shufflevector(c0, c1, 0, 4, 1, 5);
      const Float4 hi01 = __builtin_shufflevector(c0, c1, 2, 6, 3, 7);
      const Float4 lo23 = __builtin_shufflevector(c2, c3, 0, 4, 1, 5);
      const Float4 hi23 = __builtin_shufflevector(c2, c3, 2, 6, 3, 7);
      const Float4 row0 = __builtin_shufflevector(lo01, lo23, 0, 1, 4, 5);
      const Float4 row1 = __builtin_shufflevector(lo01, lo23, 2, 3, 6, 7);
      const Float4 row2 = __builtin_shufflevector(hi01, hi23, 0, 1, 4, 5);
      const Float4 row3 = __builtin_shufflevector(hi01, hi23, 2, 3, 6, 7);
      Float4 sum = sums[u];
      const Float4 p0 = x0 * row0;
      sum = sum + p0;
      const Float4 p1 = x1 * row1;
      sum = sum + p1;
      const Float4 p2 = x2 * row2;
      sum = sum + p2;
      const Float4 p3 = x3 * row3;
      sum = sum + p3;
      sums[u] = sum;
    }
  }
  for (std::size_t q = 0; q < valid; ++q) {
    float sum = sums[q / 4][q % 4];
    for (std::size_t k = r; k < end; ++k) {
      const float product = x[k] * cols[q][k];
      sum = sum + product;
    }
    out[q] = sum;
  }
}
#endif

// Rows per block in rank_one_row_update; the block's sums stay in L1.
constexpr std::size_t kRowBlock = 256;

// Rows per block in apply_rotations: a block of a 64-column matrix is 64 KiB, which stays in
// the L2 cache of any current core while all rotations of the list pass over it.
constexpr std::size_t kRotationBlockFloats = 16384;

}  // namespace

void column_dots(const float* x, const float* first, std::size_t stride, std::size_t count,
                 std::size_t begin, std::size_t end, float* out) {
#ifdef TACITOR_VECTOR_DOTS
  for (std::size_t q = 0; q < count; q += 16) {
    const float* group = first + q * stride;
    const std::size_t valid = std::min<std::size_t>(count - q, 16);
    switch ((valid + 3) / 4) {
      case 4:
        column_dots_vector<4>(x, group, stride, valid, begin, end, out + q);
        break;
      case 3:
        column_dots_vector<3>(x, group, stride, valid, begin, end, out + q);
        break;
      case 2:
        column_dots_vector<2>(x, group, stride, valid, begin, end, out + q);
        break;
      default:
        column_dots_vector<1>(x, group, stride, valid, begin, end, out + q);
        break;
    }
  }
#else
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
#endif
}

TACITOR_WIDE_CLONES void scaled_add(float f, const float* x, float* y, std::size_t begin,
                                    std::size_t end) {
  for (std::size_t r = begin; r < end; ++r) {
    const float product = f * x[r];
    y[r] = product + y[r];
  }
}

TACITOR_WIDE_CLONES void rank_one_row_update(float* a, std::size_t nrows, std::size_t first_col,
                                             std::size_t last_col, const float* u, const float* e,
                                             std::size_t begin, std::size_t end) {
  float sums[kRowBlock];
  for (std::size_t r0 = begin; r0 < end; r0 += kRowBlock) {
    const std::size_t rows = std::min(kRowBlock, end - r0);
    std::fill(sums, sums + rows, 0.0f);
    for (std::size_t k = first_col; k < last_col; ++k) {
      const float uk = u[k];
      const float* ck = a + k * nrows + r0;
      for (std::size_t r = 0; r < rows; ++r) {
        const float product = ck[r] * uk;
        sums[r] = sums[r] + product;
      }
    }
    for (std::size_t k = first_col; k < last_col; ++k) {
      const float ek = e[k];
      float* ck = a + k * nrows + r0;
      for (std::size_t r = 0; r < rows; ++r) {
        const float product = sums[r] * ek;
        ck[r] = product + ck[r];
      }
    }
  }
}

void permute_columns(float* a, std::size_t nrows, const std::size_t* order, std::size_t ncols) {
  // Follow each cycle of the permutation with one saved column.
  std::vector<bool> placed(ncols, false);
  std::vector<float> saved;
  for (std::size_t start = 0; start < ncols; ++start) {
    if (placed[start] || order[start] == start) {
      continue;
    }
    saved.assign(a + start * nrows, a + (start + 1) * nrows);
    std::size_t j = start;
    while (order[j] != start) {
      std::copy(a + order[j] * nrows, a + (order[j] + 1) * nrows, a + j * nrows);
      placed[j] = true;
      j = order[j];
    }
    std::copy(saved.begin(), saved.end(), a + j * nrows);
    placed[j] = true;
  }
}

TACITOR_WIDE_CLONES void rotate_columns(float* col_p, float* col_q, std::size_t nrows, float c,
                                        float s) {
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

TACITOR_WIDE_CLONES void apply_rotations(float* a, std::size_t nrows, std::size_t ncols,
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
