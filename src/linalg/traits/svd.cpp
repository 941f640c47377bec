#include "linalg/traits/svd.hpp"

#include <cmath>
#include <string>

#include "common/internal_failure.hpp"
#include "linalg/basic/column_kernels.hpp"
#include "linalg/basic/epsilon.hpp"

namespace tacitor {

namespace {

using linalg::kEpsilon;

void require_rows_match(std::size_t u_rows, std::size_t b_rows) {
  if (u_rows != b_rows) {
    raise_internal_failure("Dimensions do not agree. U.nrows should equal b.nrows but is " +
                           std::to_string(u_rows) + ", " + std::to_string(b_rows));
  }
}

// The solution has one row per unknown and is written into b's rows, so b needs at least
// that many. In the denoising pipeline the rows are (window, series) pairs and the unknowns
// are the window size (its other positions plus the intercept).
void require_enough_rows(std::size_t rows, std::size_t unknowns) {
  if (rows < unknowns) {
    raise_internal_failure("least-squares system has " + std::to_string(rows) + " rows but " +
                           std::to_string(unknowns) +
                           " unknowns: need at least as many training rows (windows x series) "
                           "as the window size");
  }
}

float tolerance_for(float largest, std::size_t rows, std::size_t cols) {
  const float root = std::sqrt(static_cast<float>(rows + cols) + 1.0f);
  return (largest * (root * 0.5f)) * kEpsilon;
}

// One right-hand side: tmp[j] = (u_j . b) / sigma[j] where sigma[j] > tolerance, else 0; then
// b[j] = sum_k v[j, k] * tmp[k]. u's columns start `stride` floats apart.
void solve_column(const float* u, std::size_t stride, std::size_t m, const DenseMatrix& v,
                  const std::vector<float>& sigma, float tolerance, float* b) {
  const std::size_t n = sigma.size();
  std::vector<float> dots(n);
  std::vector<float> tmp(n);
  linalg::column_dots(b, u, stride, n, 0, m, dots.data());
  for (std::size_t j = 0; j < n; ++j) {
    tmp[j] = sigma[j] > tolerance ? dots[j] / sigma[j] : 0.0f;
  }
  for (std::size_t j = 0; j < n; ++j) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) {
      const float product = v.values[k * n + j] * tmp[k];
      sum = sum + product;
    }
    b[j] = sum;
  }
}

}  // namespace

SVD SVD::create(DenseMatrix u, DenseMatrix v, std::vector<float> sigma) {
  if (sigma.empty()) {
    raise_internal_failure(
        "singular value decomposition of a matrix with 0 columns: there is no largest singular "
        "value to scale the tolerance by");
  }
  SVD svd;
  svd.rows = u.nrows;
  svd.cols = v.nrows;
  svd.tolerance = tolerance_for(sigma[0], svd.rows, svd.cols);
  svd.u = u.column_major ? std::move(u) : u.to_column_major();
  svd.v = v.column_major ? std::move(v) : v.to_column_major();
  svd.sigma = std::move(sigma);
  return svd;
}

DenseMatrix SVD::solve(DenseMatrix b) const {
  require_rows_match(u.nrows, b.nrows);
  const std::size_t m = rows;
  const std::size_t n = cols;
  require_enough_rows(m, n);
  if (u.ncols != n || v.ncols != n || sigma.size() != n) {
    raise_internal_failure("inconsistent singular value decomposition: U is " +
                           std::to_string(u.nrows) + "x" + std::to_string(u.ncols) + ", V is " +
                           std::to_string(v.nrows) + "x" + std::to_string(v.ncols) + " with " +
                           std::to_string(sigma.size()) + " singular values");
  }
  const std::size_t p = b.ncols;
  // A single column is stored the same way in either layout.
  const bool columns_contiguous = b.column_major || p == 1;
  DenseMatrix work = columns_contiguous ? std::move(b) : b.to_column_major();

  for (std::size_t c = 0; c < p; ++c) {
    solve_column(u.values.data(), m, m, v, sigma, tolerance, work.values.data() + c * m);
  }
  if (columns_contiguous) {
    return work;
  }
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < p; ++c) {
      b.values[r * p + c] = work.values[c * m + r];
    }
  }
  return b;
}

Expected<DenseMatrix, Failed> SVDDecomposable::svd_solve_mut(DenseMatrix a, DenseMatrix b) {
  // Both conditions would only surface in the solve, after a wasted decomposition.
  require_rows_match(a.nrows, b.nrows);
  require_enough_rows(a.nrows, a.ncols);
  SVDFactors factors = svd_factor(std::move(a));
  const SVD svd = SVD::create(std::move(factors.u), std::move(factors.v), std::move(factors.sigma));
  return svd.solve(std::move(b));
}

void svd_solve_in_place(ColumnMajorSpan a, float* b) {
  require_enough_rows(a.rows, a.cols);
  if (a.cols == 0) {
    // The same failure as SVD::create on an empty decomposition.
    SVD::create(DenseMatrix(), DenseMatrix(), {});
  }
  const RightFactors right = svd_factor_in_place(a);
  const float tolerance = tolerance_for(right.sigma[0], a.rows, a.cols);
  solve_column(a.data, a.stride, a.rows, right.v, right.sigma, tolerance, b);
}

}  // namespace tacitor
