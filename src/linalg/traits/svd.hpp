#pragma once
// Least squares through a singular value decomposition A = U * diag(sigma) * V^T, in float32.
//
// The decomposition is the one-sided Golub-Kahan-Reinsch scheme: Householder reduction to
// upper-bidiagonal form, accumulation of the right and left transformations, implicit-shift
// QR iteration on the bidiagonal with plane rotations, then singular values sorted from
// largest to smallest and the sign of every (u, v) pair normalised. Singular values at or
// below a tolerance count as zero, so the solve yields the minimum-norm least-squares
// solution and copes with rank-deficient systems.

#include <cstddef>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"
#include "linalg/basic/matrix.hpp"

namespace tacitor {

struct SVDFactors {
  DenseMatrix u;             // m x n, column-major: left singular vectors as columns
  DenseMatrix v;             // n x n, column-major: right singular vectors as columns
  std::vector<float> sigma;  // n values, non-negative, non-increasing
};

// A column-major matrix in storage owned elsewhere; its columns start `stride` >= rows floats
// apart, so that padding can keep them from aliasing in the cache.
struct ColumnMajorSpan {
  float* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::size_t stride = 0;
};

struct RightFactors {
  DenseMatrix v;             // n x n, column-major
  std::vector<float> sigma;  // n values, non-negative, non-increasing
};

// The decomposition of svd_factor on storage owned by the caller: the span's rows become u.
RightFactors svd_factor_in_place(ColumnMajorSpan a);

// Solves a x ~= b for one right-hand side with the same operations as
// SVDDecomposable::svd_solve_mut: a is destroyed, the first a.cols entries of b (a.rows
// values) become the solution and the others are left as they were.
void svd_solve_in_place(ColumnMajorSpan a, float* b);

// Decomposes `a` (m x n) in place; `a`'s storage becomes `u`. Any shape is accepted.
// A singular value that does not converge within 30 QR sweeps raises the internal failure
// "no convergence in 30 iterations".
SVDFactors svd_factor(DenseMatrix a);

struct SVD {
  DenseMatrix u;
  DenseMatrix v;
  std::vector<float> sigma;
  std::size_t rows = 0;  // rows of u
  std::size_t cols = 0;  // rows of v
  // Singular values at or below this are treated as zero.
  float tolerance = 0.0f;

  // Fixes the tolerance (sigma[0] * (sqrt(f32(m + n) + 1) * 0.5)) * eps. A decomposition
  // without singular values (n = 0) is an internal failure.
  static SVD create(DenseMatrix u, DenseMatrix v, std::vector<float> sigma);

  // b has `rows` rows and any number of columns; rows 0 .. n-1 of every column become the
  // solution, later rows are left untouched. Fewer rows than unknowns is an internal failure.
  DenseMatrix solve(DenseMatrix b) const;
};

struct SVDDecomposable {
  // Solves a x ~= b in the least-squares sense, consuming both. The result is b's storage,
  // m x p, with the solution in rows 0 .. n-1. Never returns a Failed: the dead ends are
  // internal failures.
  static Expected<DenseMatrix, Failed> svd_solve_mut(DenseMatrix a, DenseMatrix b);
};

}  // namespace tacitor
