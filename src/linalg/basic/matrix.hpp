#pragma once
// DenseMatrix: the estimators' dense float32 matrix.
//
// Element (r, c) is values[c * nrows + r] when column_major and values[r * ncols + c]
// otherwise. `get` and `set` check the shape and raise the internal failure
// "Invalid index ({},{}) for {}x{} matrix"; `at` is the unchecked accessor for loops whose
// bounds are the matrix's own shape.

#include <cstddef>
#include <utility>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"

namespace tacitor {

class DenseMatrixView;

class DenseMatrix {
 public:
  std::size_t ncols = 0;
  std::size_t nrows = 0;
  std::vector<float> values;
  bool column_major = false;

  DenseMatrix() = default;

  // Rejects a value count other than nrows * ncols with a ParametersError.
  static Expected<DenseMatrix, Failed> create(std::size_t nrows, std::size_t ncols,
                                              std::vector<float> values, bool column_major);
  static DenseMatrix zeros(std::size_t nrows, std::size_t ncols, bool column_major = true);
  // Both column-major.
  static DenseMatrix ones(std::size_t nrows, std::size_t ncols);
  static DenseMatrix fill(std::size_t nrows, std::size_t ncols, float value);
  // Row-major copy of a view.
  static DenseMatrix from_slice(const DenseMatrixView& view);

  // The same matrix stored column-major (a copy).
  DenseMatrix to_column_major() const;

  std::pair<std::size_t, std::size_t> shape() const noexcept { return {nrows, ncols}; }

  std::size_t index(std::size_t r, std::size_t c) const noexcept {
    return r * row_stride() + c * col_stride();
  }
  // Distance in `values` between vertically and horizontally adjacent elements.
  std::size_t row_stride() const noexcept { return column_major ? 1 : ncols; }
  std::size_t col_stride() const noexcept { return column_major ? nrows : 1; }
  float& at(std::size_t r, std::size_t c) noexcept { return values[index(r, c)]; }
  float at(std::size_t r, std::size_t c) const noexcept { return values[index(r, c)]; }

  float get(std::size_t r, std::size_t c) const;
  void set(std::size_t r, std::size_t c, float value);

  // Columns of *this followed by the columns of `other`, column-major. Differing row counts
  // are the internal failure "For horizontal stack number of rows in both arrays should match".
  DenseMatrix h_stack(const DenseMatrix& other) const;
  // this x other, f32 dot products from +0.0 in increasing index order, products rounded
  // before each addition. Mismatched inner sizes: "Can't multiply {}x{} and {}x{} matrices".
  DenseMatrix matmul(const DenseMatrix& other) const;
  // this[i, j] = other[i, j] + this[i, j]. Mismatched shapes: "A and B should have the same
  // shape".
  void add_mut(const DenseMatrix& other);
  // View of rows [row_begin, row_end) and columns [col_begin, col_end).
  DenseMatrixView slice(std::size_t row_begin, std::size_t row_end, std::size_t col_begin,
                        std::size_t col_end) const;
};

class DenseMatrixView {
 public:
  DenseMatrixView(const DenseMatrix& matrix, std::size_t row_begin, std::size_t nrows,
                  std::size_t col_begin, std::size_t ncols)
      : matrix_(&matrix),
        row_begin_(row_begin),
        col_begin_(col_begin),
        nrows_(nrows),
        ncols_(ncols) {}

  std::size_t nrows() const noexcept { return nrows_; }
  std::size_t ncols() const noexcept { return ncols_; }
  float at(std::size_t r, std::size_t c) const noexcept {
    return matrix_->at(row_begin_ + r, col_begin_ + c);
  }

 private:
  const DenseMatrix* matrix_;
  std::size_t row_begin_;
  std::size_t col_begin_;
  std::size_t nrows_;
  std::size_t ncols_;
};

}  // namespace tacitor
