#include "linalg/basic/column_kernels.hpp"

#include <algorithm>
#include <vector>

#include "linalg/basic/column_kernels_body.hpp"
#include "linalg/basic/instruction_set.hpp"

// Each instruction-set level gets its own copy of the kernels, compiled for that level through
// a per-function target attribute (the rest of the build stays at the baseline), and the
// active level picks the copy at every call. The baseline copy is the only one on other
// processors. No loader tricks are involved, so sanitizer builds run every level too.

namespace tacitor::linalg {
namespace {

struct KernelSet {
  void (*column_dots)(const float*, const float*, std::size_t, std::size_t, std::size_t,
                      std::size_t, float*);
  void (*scaled_add)(float, const float*, float*, std::size_t, std::size_t);
  void (*rank_one_row_update)(float*, std::size_t, std::size_t, std::size_t, const float*,
                              const float*, std::size_t, std::size_t);
  void (*rotate_columns)(float*, float*, std::size_t, float, float);
  void (*apply_rotations)(float*, std::size_t, std::size_t, std::size_t, const ColumnRotation*,
                          std::size_t, std::size_t*);
  void (*householder_rows)(float*, std::size_t, std::size_t, std::size_t, std::size_t, std::size_t,
                           const float*, float, const float*, const float*, float*);
  void (*left_accumulation_rows)(float*, std::size_t, std::size_t, std::size_t, std::size_t,
                                 std::size_t, const float*, float, float*);
};

// The entry points of one level: `lanes` floats per vector, compiled with `target`.
#define TACITOR_KERNEL_SET(name, lanes, target)                                                    \
  target void name##_column_dots(const float* x, const float* first, std::size_t stride,           \
                                 std::size_t count, std::size_t begin, std::size_t end,            \
                                 float* out) {                                                     \
    body::column_dots<lanes>(x, first, stride, count, begin, end, out);                            \
  }                                                                                                \
  target void name##_scaled_add(float f, const float* x, float* y, std::size_t begin,              \
                                std::size_t end) {                                                 \
    body::scaled_add<lanes>(f, x, y, begin, end);                                                  \
  }                                                                                                \
  target void name##_rank_one_row_update(float* a, std::size_t stride, std::size_t first_col,      \
                                         std::size_t last_col, const float* u, const float* e,     \
                                         std::size_t begin, std::size_t end) {                     \
    body::rank_one_row_update<lanes>(a, stride, first_col, last_col, u, e, begin, end);            \
  }                                                                                                \
  target void name##_rotate_columns(float* col_p, float* col_q, std::size_t nrows, float c,        \
                                    float s) {                                                     \
    body::rotate_columns<lanes>(col_p, col_q, nrows, c, s);                                        \
  }                                                                                                \
  target void name##_apply_rotations(float* a, std::size_t nrows, std::size_t stride,              \
                                     std::size_t ncols, const ColumnRotation* rotations,           \
                                     std::size_t count, std::size_t* negatives) {                  \
    body::apply_rotations<lanes>(a, nrows, stride, ncols, rotations, count, negatives);            \
  }                                                                                                \
  target void name##_householder_rows(float* a, std::size_t stride, std::size_t col,               \
                                      std::size_t ncols, std::size_t begin, std::size_t end,       \
                                      const float* factors, float scale, const float* row_u,       \
                                      const float* row_e, float* next_abs_sum) {                   \
    body::householder_rows<lanes>(a, stride, col, ncols, begin, end, factors, scale, row_u, row_e, \
                                  next_abs_sum);                                                   \
  }                                                                                                \
  target void name##_left_accumulation_rows(float* a, std::size_t stride, std::size_t col,         \
                                            std::size_t ncols, std::size_t begin, std::size_t end, \
                                            const float* factors, float g, float* dots) {          \
    body::left_accumulation_rows<lanes>(a, stride, col, ncols, begin, end, factors, g, dots);      \
  }                                                                                                \
  constexpr KernelSet name##_kernels{name##_column_dots,           name##_scaled_add,              \
                                     name##_rank_one_row_update,   name##_rotate_columns,          \
                                     name##_apply_rotations,       name##_householder_rows,        \
                                     name##_left_accumulation_rows};

// Four lanes: SSE on x86, NEON on ARM, plain scalar code where neither exists.
TACITOR_KERNEL_SET(baseline, 4, )
#if defined(__x86_64__) || defined(__i386__)
TACITOR_KERNEL_SET(avx2, 8, __attribute__((target("avx2"))))
TACITOR_KERNEL_SET(avx512, 16, __attribute__((target("avx512f"))))
#endif

#undef TACITOR_KERNEL_SET

const KernelSet& kernels() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  switch (active_instruction_set()) {
    case InstructionSet::avx512:
      return avx512_kernels;
    case InstructionSet::avx2:
      return avx2_kernels;
    case InstructionSet::baseline:
      break;
  }
#endif
  return baseline_kernels;
}

}  // namespace

void column_dots(const float* x, const float* first, std::size_t stride, std::size_t count,
                 std::size_t begin, std::size_t end, float* out) {
  kernels().column_dots(x, first, stride, count, begin, end, out);
}

void scaled_add(float f, const float* x, float* y, std::size_t begin, std::size_t end) {
  kernels().scaled_add(f, x, y, begin, end);
}

void rank_one_row_update(float* a, std::size_t stride, std::size_t first_col, std::size_t last_col,
                         const float* u, const float* e, std::size_t begin, std::size_t end) {
  kernels().rank_one_row_update(a, stride, first_col, last_col, u, e, begin, end);
}

void rotate_columns(float* col_p, float* col_q, std::size_t nrows, float c, float s) {
  kernels().rotate_columns(col_p, col_q, nrows, c, s);
}

void apply_rotations(float* a, std::size_t nrows, std::size_t stride, std::size_t ncols,
                     const ColumnRotation* rotations, std::size_t count, std::size_t* negatives) {
  kernels().apply_rotations(a, nrows, stride, ncols, rotations, count, negatives);
}

void householder_rows(float* a, std::size_t stride, std::size_t col, std::size_t ncols,
                      std::size_t begin, std::size_t end, const float* factors, float scale,
                      const float* row_u, const float* row_e, float* next_abs_sum) {
  kernels().householder_rows(a, stride, col, ncols, begin, end, factors, scale, row_u, row_e,
                             next_abs_sum);
}

void left_accumulation_rows(float* a, std::size_t stride, std::size_t col, std::size_t ncols,
                            std::size_t begin, std::size_t end, const float* factors, float g,
                            float* dots) {
  kernels().left_accumulation_rows(a, stride, col, ncols, begin, end, factors, g, dots);
}

void permute_columns(float* a, std::size_t nrows, std::size_t stride, const std::size_t* order,
                     const bool* negate, std::size_t ncols) {
  // Copies column `from` into column `to`, negated if asked.
  const auto move = [&](const float* from, float* to, bool negated) {
    if (negated) {
      for (std::size_t r = 0; r < nrows; ++r) {
        to[r] = -from[r];
      }
    } else if (from != to) {
      std::copy(from, from + nrows, to);
    }
  };
  // Follow each cycle of the permutation with one saved column.
  std::vector<bool> placed(ncols, false);
  std::vector<float> saved;
  for (std::size_t start = 0; start < ncols; ++start) {
    if (placed[start]) {
      continue;
    }
    if (order[start] == start) {
      move(a + start * stride, a + start * stride, negate[start]);
      placed[start] = true;
      continue;
    }
    saved.assign(a + start * stride, a + start * stride + nrows);
    std::size_t j = start;
    while (order[j] != start) {
      move(a + order[j] * stride, a + j * stride, negate[j]);
      placed[j] = true;
      j = order[j];
    }
    move(saved.data(), a + j * stride, negate[j]);
    placed[j] = true;
  }
}

}  // namespace tacitor::linalg
