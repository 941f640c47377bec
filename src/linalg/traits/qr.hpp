#pragma once
// Least squares through a Householder QR factorisation, in float32.
//
// There is no tolerance for near-dependent columns: only a remaining column norm of exactly
// zero makes the system rank deficient (an internal failure); a tiny non-zero diagonal
// element of R is divided by.

#include <cstddef>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"
#include "linalg/basic/matrix.hpp"

namespace tacitor {

struct QR {
  // A's storage after factorisation, column-major: on and below the diagonal, column k holds
  // the k-th Householder vector; above it, the strictly upper part of R.
  DenseMatrix factors;
  // The diagonal of R.
  std::vector<float> rdiag;
  // Some rdiag element is exactly zero (+0.0 or -0.0).
  bool rank_deficient = false;

  // Overwrites b (A's row count of rows, any columns): rows 0 .. n-1 become the solution,
  // later rows hold transformed residual components. A row-count mismatch and a rank
  // deficient system are internal failures.
  DenseMatrix solve(DenseMatrix b) const;
};

// Factorises `a` (m x n) in place and returns the record. Any shape is accepted; with fewer
// rows than columns the record is rank deficient.
QR qr_factor(DenseMatrix a);

struct QRDecomposable {
  // Solves a x ~= b in the least-squares sense, consuming both; the result is b's storage.
  // Never returns a Failed: the dead ends are internal failures.
  static Expected<DenseMatrix, Failed> qr_solve_mut(DenseMatrix a, DenseMatrix b);
};

}  // namespace tacitor
