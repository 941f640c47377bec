#pragma once
// Inner loops of the least-squares solvers over column-major storage.
//
// Every kernel evaluates each output element with exactly the operations, and in exactly the
// order, of the plain textbook loop it replaces: products are rounded before they are added,
// sums start at +0.0 and run in increasing row order. The speed comes only from doing several
// independent sums at once and from touching memory column by column.

#include <cstddef>

namespace tacitor::linalg {

// For q < count: out[q] = sum over r in [begin, end) of x[r] * (first + q * stride)[r].
// The columns are those of a column-major matrix whose columns are `stride` floats apart.
void column_dots(const float* x, const float* first, std::size_t stride, std::size_t count,
                 std::size_t begin, std::size_t end, float* out);

// y[r] = f * x[r] + y[r] for r in [begin, end).
void scaled_add(float f, const float* x, float* y, std::size_t begin, std::size_t end);

// For every row r in [begin, end), over the columns k in [first_col, last_col) of the
// column-major `a` (columns `stride` floats apart): t = sum_k a[r, k] * u[k] in increasing k,
// then a[r, k] = t * e[k] + a[r, k]. u and e are indexed by column. Rows are independent, so
// they are processed a cache-sized block at a time.
void rank_one_row_update(float* a, std::size_t stride, std::size_t first_col, std::size_t last_col,
                         const float* u, const float* e, std::size_t begin, std::size_t end);

// Rearranges the columns of the column-major `a` so that column j becomes the former column
// order[j], negated where negate[j]; `order` is a permutation of 0 .. ncols-1. Columns hold
// `nrows` values and start `stride` floats apart. Needs one column of scratch; columns that
// neither move nor change sign are not touched.
void permute_columns(float* a, std::size_t nrows, std::size_t stride, const std::size_t* order,
                     const bool* negate, std::size_t ncols);

// A plane rotation of columns p and q: for every row, (y, z) = (col p, col q) becomes
// (y * c + z * s, z * c - y * s), col p written first.
struct ColumnRotation {
  std::size_t p;
  std::size_t q;
  float c;
  float s;
};

// Rotates columns p and q of rows [0, nrows) of one column.
void rotate_columns(float* col_p, float* col_q, std::size_t nrows, float c, float s);

// Applies `count` rotations, in list order, to every row of the column-major matrix `a`
// (columns `stride` floats apart). Each row sees the same sequence of operations as if the
// rotations were applied one after another to whole columns; rows are processed in blocks
// that stay in cache. With `negatives`, negatives[c] is then increased by the number of
// entries of column c that are < 0 (-0.0 and NaN are not), counted from the final values.
void apply_rotations(float* a, std::size_t nrows, std::size_t stride, std::size_t ncols,
                     const ColumnRotation* rotations, std::size_t count,
                     std::size_t* negatives = nullptr);

// One pass of a Householder step of the bidiagonalisation over rows [begin, end) of the
// column-major `a` (columns `stride` floats apart), a cache-sized block of rows at a time,
// doing per row r, in this order:
// - with `factors`: a[r, j] = factors[j] * a[r, col] + a[r, j] for j in (col, ncols), then
//   a[r, col] = scale * a[r, col] (the column reflection);
// - with `row_u`: t = sum over k in (col, ncols) of a[r, k] * row_u[k], then
//   a[r, k] = t * row_e[k] + a[r, k] (the row reflection);
// - with `next_abs_sum`: *next_abs_sum = *next_abs_sum + |a[r, col + 1]|, the final value,
//   continued in increasing r (the next step's column scale).
void householder_rows(float* a, std::size_t stride, std::size_t col, std::size_t ncols,
                      std::size_t begin, std::size_t end, const float* factors, float scale,
                      const float* row_u, const float* row_e, float* next_abs_sum);

// One pass of a step of the left accumulation over rows [begin, end), a block at a time: with
// `factors`, a[r, j] = factors[j] * a[r, col] + a[r, j] for j in (col, ncols), then
// a[r, col] = a[r, col] * g; without, a[r, col] = 0. With `dots`, dots[q] then continues its
// sum of a[r, col - 1] * a[r, col + q] for q < ncols - col over these rows, with the updated
// values (the dot products of the next step, col - 1).
void left_accumulation_rows(float* a, std::size_t stride, std::size_t col, std::size_t ncols,
                            std::size_t begin, std::size_t end, const float* factors, float g,
                            float* dots);

}  // namespace tacitor::linalg
