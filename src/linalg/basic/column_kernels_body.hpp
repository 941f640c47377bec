#pragma once
// Bodies of the column kernels, written once for vectors of `Lanes` floats and compiled once
// per instruction-set level (column_kernels.cpp). Every function here is forced inline into
// the level's entry point, so that it is compiled for that level's instructions.
//
// Lanes only ever hold independent values: different rows of one column for element-wise
// updates, different columns for dot products. So every value goes through the same IEEE
// operations in the same order at every width, and the results are identical bit for bit.
// Products are rounded before they are added (the build never contracts them).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "linalg/basic/column_kernels.hpp"

namespace tacitor::linalg::body {

#define TACITOR_FORCE_INLINE inline __attribute__((always_inline))

template <std::size_t Lanes>
struct Vector {
  typedef float type __attribute__((vector_size(Lanes * sizeof(float))));
};
template <std::size_t Lanes>
using Vec = typename Vector<Lanes>::type;
// The integer vector of the same lane count, as comparisons of Vec give.
template <std::size_t Lanes>
struct IntVector {
  typedef int type __attribute__((vector_size(Lanes * sizeof(int))));
};

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void load(Vec<Lanes>& v, const float* p) {
  std::memcpy(&v, p, sizeof v);
}
template <std::size_t Lanes>
TACITOR_FORCE_INLINE void store(float* p, const Vec<Lanes>& v) {
  std::memcpy(p, &v, sizeof v);
}

// Lane `i` of one step of a butterfly transpose with block size `half`: the low output takes
// blocks 0, 2, 4, ... of `a` and `b` alternately, the high output blocks 1, 3, 5, ...
template <std::size_t Lanes, std::size_t half, bool high>
constexpr int butterfly_index(std::size_t i) {
  const std::size_t group = i / (2 * half) * (2 * half);
  const std::size_t within = i % (2 * half);
  const std::size_t offset = high ? half : 0;
  return static_cast<int>(within < half ? group + offset + within
                                        : Lanes + group + offset + within - half);
}

template <std::size_t Lanes, std::size_t half, std::size_t... i>
TACITOR_FORCE_INLINE void butterfly(Vec<Lanes> (&v)[Lanes], std::index_sequence<i...>) {
  for (std::size_t row = 0; row < Lanes; ++row) {
    if ((row & half) == 0) {
      const Vec<Lanes> a = v[row];
      const Vec<Lanes> b = v[row | half];
      v[row] = __builtin_shufflevector(a, b, butterfly_index<Lanes, half, false>(i)...);
      v[row | half] = __builtin_shufflevector(a, b, butterfly_index<Lanes, half, true>(i)...);
    }
  }
}

// Transposes the Lanes x Lanes block held in v (v[c][r] becomes v[r][c]).
template <std::size_t Lanes>
TACITOR_FORCE_INLINE void transpose(Vec<Lanes> (&v)[Lanes]) {
  constexpr auto lanes = std::make_index_sequence<Lanes>();
  butterfly<Lanes, 1>(v, lanes);
  butterfly<Lanes, 2>(v, lanes);
  static_assert(Lanes == 4 || Lanes == 8, "dot products use four- or eight-lane vectors");
  if constexpr (Lanes == 8) {
    butterfly<Lanes, 4>(v, lanes);
  }
}

// Dot products of x with `valid` <= Lanes * units columns in one pass over the rows. Lane q
// of accumulator u is the sum of column u * Lanes + q: blocks of Lanes rows of Lanes columns
// are transposed in registers so that each register holds one row, and the rows are added in
// increasing order. Lanes beyond `valid` repeat the last column and are discarded. With
// `resume`, the sums continue from the values in `out` instead of starting at +0.0, so that a
// sum can be carried from one block of rows to the next.
template <std::size_t Lanes, std::size_t units>
TACITOR_FORCE_INLINE void column_dots_pass(const float* x, const float* first, std::size_t stride,
                                           std::size_t valid, std::size_t begin, std::size_t end,
                                           bool resume, float* out) {
  Vec<Lanes> sums[units];
  const float* cols[Lanes * units];
  for (std::size_t u = 0; u < units; ++u) {
    sums[u] = Vec<Lanes>{};
    for (std::size_t lane = 0; resume && lane < Lanes && u * Lanes + lane < valid; ++lane) {
      sums[u][lane] = out[u * Lanes + lane];
    }
  }
  for (std::size_t q = 0; q < Lanes * units; ++q) {
    cols[q] = first + std::min(q, valid - 1) * stride;
  }
  std::size_t r = begin;
  for (; r + Lanes <= end; r += Lanes) {
    for (std::size_t u = 0; u < units; ++u) {
      Vec<Lanes> rows[Lanes];
      for (std::size_t t = 0; t < Lanes; ++t) {
        load<Lanes>(rows[t], cols[u * Lanes + t] + r);
      }
      transpose<Lanes>(rows);
      Vec<Lanes> sum = sums[u];
      for (std::size_t t = 0; t < Lanes; ++t) {
        const Vec<Lanes> product = x[r + t] * rows[t];
        sum = sum + product;
      }
      sums[u] = sum;
    }
  }
  for (std::size_t q = 0; q < valid; ++q) {
    float sum = sums[q / Lanes][q % Lanes];
    for (std::size_t k = r; k < end; ++k) {
      const float product = x[k] * cols[q][k];
      sum = sum + product;
    }
    out[q] = sum;
  }
}

// Columns per pass of column_dots: sixteen sums in flight hide the latency of the additions.
constexpr std::size_t kDotColumns = 16;

// Dot products of x with `count` columns, sixteen columns per pass over the rows. The vector
// width is chosen by measurement, not by the level's `Lanes`: transposing costs shuffles, and
// 16 x 16 transposes (or 8 x 8 ones without AVX-512's two-register permutes) cost more than
// they save, so the AVX-512 level sums in eight-lane vectors, the others in four-lane ones,
// and a group of at most four columns always in one four-lane vector.
template <std::size_t Lanes>
TACITOR_FORCE_INLINE void column_dots(const float* x, const float* first, std::size_t stride,
                                      std::size_t count, std::size_t begin, std::size_t end,
                                      float* out, bool resume = false) {
  for (std::size_t q = 0; q < count; q += kDotColumns) {
    const float* group = first + q * stride;
    const std::size_t valid = std::min(count - q, kDotColumns);
    if (valid <= 4) {
      column_dots_pass<4, 1>(x, group, stride, valid, begin, end, resume, out + q);
    } else if constexpr (Lanes <= 8) {
      // Eight-lane transposes need shuffles across the two halves of a 256-bit register,
      // which cost more than they save: four-lane vectors do better at this level.
      if (valid <= 8) {
        column_dots_pass<4, 2>(x, group, stride, valid, begin, end, resume, out + q);
      } else if (valid <= 12) {
        column_dots_pass<4, 3>(x, group, stride, valid, begin, end, resume, out + q);
      } else {
        column_dots_pass<4, 4>(x, group, stride, valid, begin, end, resume, out + q);
      }
    } else {
      if (valid <= 8) {
        column_dots_pass<8, 1>(x, group, stride, valid, begin, end, resume, out + q);
      } else {
        column_dots_pass<8, 2>(x, group, stride, valid, begin, end, resume, out + q);
      }
    }
  }
}

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void scaled_add(float f, const float* x, float* y, std::size_t begin,
                                     std::size_t end) {
  std::size_t r = begin;
  for (; r + Lanes <= end; r += Lanes) {
    Vec<Lanes> xv, yv;
    load<Lanes>(xv, x + r);
    load<Lanes>(yv, y + r);
    const Vec<Lanes> product = f * xv;
    store<Lanes>(y + r, product + yv);
  }
  for (; r < end; ++r) {
    const float product = f * x[r];
    y[r] = product + y[r];
  }
}

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void rotate_columns(float* col_p, float* col_q, std::size_t nrows, float c,
                                         float s) {
  if (col_p == col_q) {
    // Rotating a column with itself: the second assignment wins.
    for (std::size_t r = 0; r < nrows; ++r) {
      const float y = col_p[r];
      col_p[r] = y * c - y * s;
    }
    return;
  }
  std::size_t r = 0;
  for (; r + Lanes <= nrows; r += Lanes) {
    Vec<Lanes> y, z;
    load<Lanes>(y, col_p + r);
    load<Lanes>(z, col_q + r);
    const Vec<Lanes> yc = y * c;
    const Vec<Lanes> zs = z * s;
    const Vec<Lanes> zc = z * c;
    const Vec<Lanes> ys = y * s;
    store<Lanes>(col_p + r, yc + zs);
    store<Lanes>(col_q + r, zc - ys);
  }
  for (; r < nrows; ++r) {
    const float y = col_p[r];
    const float z = col_q[r];
    const float yc = y * c;
    const float zs = z * s;
    const float zc = z * c;
    const float ys = y * s;
    col_p[r] = yc + zs;
    col_q[r] = zc - ys;
  }
}

// Vectors of rows per strip in rank_one_row_update: a strip's sums stay in registers.
constexpr std::size_t kRowStripUnits = 4;

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void rank_one_row_update(float* a, std::size_t stride, std::size_t first_col,
                                              std::size_t last_col, const float* u, const float* e,
                                              std::size_t begin, std::size_t end) {
  constexpr std::size_t strip = Lanes * kRowStripUnits;
  std::size_t r0 = begin;
  for (; r0 + strip <= end; r0 += strip) {
    Vec<Lanes> sums[kRowStripUnits] = {};
    for (std::size_t k = first_col; k < last_col; ++k) {
      const float uk = u[k];
      const float* ck = a + k * stride + r0;
      for (std::size_t v = 0; v < kRowStripUnits; ++v) {
        Vec<Lanes> value;
        load<Lanes>(value, ck + v * Lanes);
        const Vec<Lanes> product = value * uk;
        sums[v] = sums[v] + product;
      }
    }
    for (std::size_t k = first_col; k < last_col; ++k) {
      const float ek = e[k];
      float* ck = a + k * stride + r0;
      for (std::size_t v = 0; v < kRowStripUnits; ++v) {
        Vec<Lanes> value;
        load<Lanes>(value, ck + v * Lanes);
        const Vec<Lanes> product = sums[v] * ek;
        store<Lanes>(ck + v * Lanes, product + value);
      }
    }
  }
  for (std::size_t r = r0; r < end; ++r) {
    float sum = 0.0f;
    for (std::size_t k = first_col; k < last_col; ++k) {
      const float product = a[k * stride + r] * u[k];
      sum = sum + product;
    }
    for (std::size_t k = first_col; k < last_col; ++k) {
      const float product = sum * e[k];
      a[k * stride + r] = product + a[k * stride + r];
    }
  }
}

// Rows per block in apply_rotations: a block of a 64-column matrix is 64 KiB, which stays in
// the L2 cache of any current core while all rotations of the list pass over it.
constexpr std::size_t kRotationBlockFloats = 16384;

// Adds to `count` the number of entries of col[0, rows) that are < 0 (-0.0 and NaN are not).
template <std::size_t Lanes>
TACITOR_FORCE_INLINE void count_negatives(const float* col, std::size_t rows, std::size_t& count) {
  typename IntVector<Lanes>::type lanes = {};
  std::size_t r = 0;
  for (; r + Lanes <= rows; r += Lanes) {
    Vec<Lanes> value;
    load<Lanes>(value, col + r);
    lanes -= value < 0.0f;  // a true comparison is -1 in every bit
  }
  for (std::size_t lane = 0; lane < Lanes; ++lane) {
    count += static_cast<std::size_t>(lanes[lane]);
  }
  for (; r < rows; ++r) {
    count += col[r] < 0.0f ? 1 : 0;
  }
}

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void apply_rotations(float* a, std::size_t nrows, std::size_t stride,
                                          std::size_t ncols, const ColumnRotation* rotations,
                                          std::size_t count, std::size_t* negatives) {
  if (nrows == 0 || (count == 0 && negatives == nullptr)) {
    return;
  }
  const std::size_t block =
      std::max<std::size_t>(64, kRotationBlockFloats / std::max<std::size_t>(ncols, 1));
  for (std::size_t r0 = 0; r0 < nrows; r0 += block) {
    const std::size_t rows = std::min(block, nrows - r0);
    for (std::size_t t = 0; t < count; ++t) {
      const ColumnRotation& rotation = rotations[t];
      rotate_columns<Lanes>(a + rotation.p * stride + r0, a + rotation.q * stride + r0, rows,
                            rotation.c, rotation.s);
    }
    // The block is still in cache: count its final signs now rather than in another pass.
    for (std::size_t c = 0; negatives != nullptr && c < ncols; ++c) {
      count_negatives<Lanes>(a + c * stride + r0, rows, negatives[c]);
    }
  }
}

// Rows per block of the fused passes: a block of a 64-column matrix is 32 KiB, so it stays in
// the L1 cache between the operations that the pass applies to it one after another.
constexpr std::size_t kFusedRows = 128;

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void householder_rows(float* a, std::size_t stride, std::size_t col,
                                           std::size_t ncols, std::size_t begin, std::size_t end,
                                           const float* factors, float scale, const float* row_u,
                                           const float* row_e, float* next_abs_sum) {
  float* const pivot = a + col * stride;
  constexpr std::size_t units = kRowStripUnits;
  constexpr std::size_t strip = Lanes * units;
  float next_sum = next_abs_sum != nullptr ? *next_abs_sum : 0.0f;
  std::size_t r0 = begin;
  // A strip of rows at a time, held in registers: the column reflection and the row
  // reflection's sums in one sweep over the columns, the row update in a second.
  for (; r0 + strip <= end; r0 += strip) {
    Vec<Lanes> p[units];
    Vec<Lanes> sums[units] = {};
    for (std::size_t v = 0; v < units; ++v) {
      load<Lanes>(p[v], pivot + r0 + v * Lanes);
    }
    for (std::size_t j = col + 1; j < ncols; ++j) {
      float* cj = a + j * stride + r0;
      for (std::size_t v = 0; v < units; ++v) {
        Vec<Lanes> value;
        load<Lanes>(value, cj + v * Lanes);
        if (factors != nullptr) {
          const Vec<Lanes> product = factors[j] * p[v];
          value = product + value;
          store<Lanes>(cj + v * Lanes, value);
        }
        if (row_u != nullptr) {
          const Vec<Lanes> product = value * row_u[j];
          sums[v] = sums[v] + product;
        }
      }
    }
    if (factors != nullptr) {
      for (std::size_t v = 0; v < units; ++v) {
        store<Lanes>(pivot + r0 + v * Lanes, scale * p[v]);
      }
    }
    if (row_u != nullptr) {
      for (std::size_t j = col + 1; j < ncols; ++j) {
        float* cj = a + j * stride + r0;
        for (std::size_t v = 0; v < units; ++v) {
          Vec<Lanes> value;
          load<Lanes>(value, cj + v * Lanes);
          const Vec<Lanes> product = sums[v] * row_e[j];
          store<Lanes>(cj + v * Lanes, product + value);
        }
      }
    }
    if (next_abs_sum != nullptr) {
      const float* next = a + (col + 1) * stride;
      for (std::size_t r = r0; r < r0 + strip; ++r) {
        next_sum = next_sum + std::fabs(next[r]);
      }
    }
  }
  for (std::size_t r = r0; r < end; ++r) {
    if (factors != nullptr) {
      for (std::size_t j = col + 1; j < ncols; ++j) {
        const float product = factors[j] * pivot[r];
        a[j * stride + r] = product + a[j * stride + r];
      }
      pivot[r] = scale * pivot[r];
    }
    if (row_u != nullptr) {
      float t = 0.0f;
      for (std::size_t j = col + 1; j < ncols; ++j) {
        const float product = a[j * stride + r] * row_u[j];
        t = t + product;
      }
      for (std::size_t j = col + 1; j < ncols; ++j) {
        const float product = t * row_e[j];
        a[j * stride + r] = product + a[j * stride + r];
      }
    }
    if (next_abs_sum != nullptr) {
      next_sum = next_sum + std::fabs(a[(col + 1) * stride + r]);
    }
  }
  if (next_abs_sum != nullptr) {
    *next_abs_sum = next_sum;
  }
}

template <std::size_t Lanes>
TACITOR_FORCE_INLINE void left_accumulation_rows(float* a, std::size_t stride, std::size_t col,
                                                 std::size_t ncols, std::size_t begin,
                                                 std::size_t end, const float* factors, float g,
                                                 float* dots) {
  float* const pivot = a + col * stride;
  for (std::size_t r0 = begin; r0 < end; r0 += kFusedRows) {
    const std::size_t r1 = std::min(end, r0 + kFusedRows);
    if (factors != nullptr) {
      for (std::size_t j = col + 1; j < ncols; ++j) {
        scaled_add<Lanes>(factors[j], pivot, a + j * stride, r0, r1);
      }
      std::size_t r = r0;
      for (; r + Lanes <= r1; r += Lanes) {
        Vec<Lanes> value;
        load<Lanes>(value, pivot + r);
        store<Lanes>(pivot + r, value * g);
      }
      for (; r < r1; ++r) {
        pivot[r] = pivot[r] * g;
      }
    } else {
      std::fill(pivot + r0, pivot + r1, 0.0f);
    }
    if (dots != nullptr) {
      column_dots<Lanes>(pivot - stride, pivot, stride, ncols - col, r0, r1, dots, true);
    }
  }
}

}  // namespace tacitor::linalg::body
