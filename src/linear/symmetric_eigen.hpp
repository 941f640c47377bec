#pragma once
// Eigen-decomposition of a small symmetric matrix by cyclic Jacobi rotations, in double.
//
// Jacobi is slow next to tridiagonal QR for large matrices, but the matrices here are a window
// wide (tens of rows), and it has what the least-squares solve needs: small eigenvalues come
// out with small absolute error relative to the largest, and its arithmetic is a fixed
// sequence of plain operations (pairs (p, q) in row order, sweep after sweep), so the result
// is the same bits on every processor.

#include <cstddef>
#include <vector>

namespace tacitor::linear {

struct SymmetricEigen {
  std::size_t size = 0;
  // Unsorted; eigenvalue j belongs to column j of `vectors`.
  std::vector<double> values;
  // Row-major size x size; the columns are orthonormal eigenvectors.
  std::vector<double> vectors;
};

// The decomposition of the symmetric `size` x `size` row-major `matrix` (only its upper
// triangle is read). Non-finite entries are an internal failure.
SymmetricEigen symmetric_eigen(std::vector<double> matrix, std::size_t size);

}  // namespace tacitor::linear
