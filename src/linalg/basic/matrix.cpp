#include "linalg/basic/matrix.hpp"

#include <algorithm>
#include <string>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"

namespace tacitor {

namespace {

std::string shape_text(std::size_t nrows, std::size_t ncols) {
  return std::to_string(nrows) + "x" + std::to_string(ncols);
}

// Writes the columns of `source` one after another into `out` (column-major order).
void copy_columns(const DenseMatrix& source, float* out) {
  if (source.column_major) {
    std::copy(source.values.begin(), source.values.end(), out);
    return;
  }
  for (std::size_t r = 0; r < source.nrows; ++r) {
    const float* row = source.values.data() + r * source.ncols;
    for (std::size_t c = 0; c < source.ncols; ++c) {
      out[c * source.nrows + r] = row[c];
    }
  }
}

}  // namespace

Expected<DenseMatrix, Failed> DenseMatrix::create(std::size_t nrows, std::size_t ncols,
                                                  std::vector<float> values, bool column_major) {
  std::size_t expected = 0;
  if (__builtin_mul_overflow(nrows, ncols, &expected) || expected != values.size()) {
    return unexpected(
        Failed::input("The specified shape: (cols: " + std::to_string(ncols) +
                      ", rows: " + std::to_string(nrows) +
                      ") does not align with data len: " + std::to_string(values.size())));
  }
  DenseMatrix matrix;
  matrix.nrows = nrows;
  matrix.ncols = ncols;
  matrix.values = std::move(values);
  matrix.column_major = column_major;
  return matrix;
}

DenseMatrix DenseMatrix::zeros(std::size_t nrows, std::size_t ncols, bool column_major) {
  DenseMatrix matrix;
  matrix.nrows = nrows;
  matrix.ncols = ncols;
  matrix.values.assign(checked_mul(nrows, ncols), 0.0f);
  matrix.column_major = column_major;
  return matrix;
}

DenseMatrix DenseMatrix::ones(std::size_t nrows, std::size_t ncols) {
  return fill(nrows, ncols, 1.0f);
}

DenseMatrix DenseMatrix::fill(std::size_t nrows, std::size_t ncols, float value) {
  DenseMatrix matrix;
  matrix.nrows = nrows;
  matrix.ncols = ncols;
  matrix.values.assign(checked_mul(nrows, ncols), value);
  matrix.column_major = true;
  return matrix;
}

DenseMatrix DenseMatrix::from_slice(const DenseMatrixView& view) {
  DenseMatrix matrix = zeros(view.nrows(), view.ncols(), false);
  for (std::size_t r = 0; r < view.nrows(); ++r) {
    for (std::size_t c = 0; c < view.ncols(); ++c) {
      matrix.values[r * view.ncols() + c] = view.at(r, c);
    }
  }
  return matrix;
}

float DenseMatrix::get(std::size_t r, std::size_t c) const {
  if (r >= nrows || c >= ncols) {
    raise_internal_failure("Invalid index (" + std::to_string(r) + "," + std::to_string(c) +
                           ") for " + shape_text(nrows, ncols) + " matrix");
  }
  return at(r, c);
}

void DenseMatrix::set(std::size_t r, std::size_t c, float value) {
  if (r >= nrows || c >= ncols) {
    raise_internal_failure("Invalid index (" + std::to_string(r) + "," + std::to_string(c) +
                           ") for " + shape_text(nrows, ncols) + " matrix");
  }
  at(r, c) = value;
}

DenseMatrix DenseMatrix::to_column_major() const {
  DenseMatrix result = zeros(nrows, ncols, true);
  copy_columns(*this, result.values.data());
  return result;
}

DenseMatrix DenseMatrix::h_stack(const DenseMatrix& other) const {
  if (nrows != other.nrows) {
    raise_internal_failure("For horizontal stack number of rows in both arrays should match");
  }
  DenseMatrix result = zeros(nrows, checked_add(ncols, other.ncols), true);
  copy_columns(*this, result.values.data());
  copy_columns(other, result.values.data() + ncols * nrows);
  return result;
}

DenseMatrix DenseMatrix::matmul(const DenseMatrix& other) const {
  if (ncols != other.nrows) {
    raise_internal_failure("Can't multiply " + shape_text(nrows, ncols) + " and " +
                           shape_text(other.nrows, other.ncols) + " matrices");
  }
  DenseMatrix result = zeros(nrows, other.ncols, false);
  const float* lhs = values.data();
  const float* rhs = other.values.data();
  const std::size_t lhs_row = row_stride();
  const std::size_t lhs_col = col_stride();
  const std::size_t rhs_row = other.row_stride();
  const std::size_t rhs_col = other.col_stride();
  for (std::size_t r = 0; r < nrows; ++r) {
    for (std::size_t c = 0; c < other.ncols; ++c) {
      float sum = 0.0f;
      for (std::size_t k = 0; k < ncols; ++k) {
        const float product = lhs[r * lhs_row + k * lhs_col] * rhs[k * rhs_row + c * rhs_col];
        sum = sum + product;
      }
      result.values[r * other.ncols + c] = sum;
    }
  }
  return result;
}

void DenseMatrix::add_mut(const DenseMatrix& other) {
  if (nrows != other.nrows || ncols != other.ncols) {
    raise_internal_failure("A and B should have the same shape");
  }
  for (std::size_t r = 0; r < nrows; ++r) {
    for (std::size_t c = 0; c < ncols; ++c) {
      at(r, c) = other.at(r, c) + at(r, c);
    }
  }
}

DenseMatrixView DenseMatrix::slice(std::size_t row_begin, std::size_t row_end,
                                   std::size_t col_begin, std::size_t col_end) const {
  if (row_begin > row_end || row_end > nrows || col_begin > col_end || col_end > ncols) {
    raise_internal_failure("Invalid slice [" + std::to_string(row_begin) + ".." +
                           std::to_string(row_end) + ", " + std::to_string(col_begin) + ".." +
                           std::to_string(col_end) + "] of " + shape_text(nrows, ncols) +
                           " matrix");
  }
  return DenseMatrixView(*this, row_begin, row_end - row_begin, col_begin, col_end - col_begin);
}

}  // namespace tacitor
