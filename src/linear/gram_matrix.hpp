#pragma once
// The Gram matrix of a window plan: Z^T Z for the matrix Z whose rows are the training rows of
// the plan (window k, series s in row order k * S + s) with a column of ones appended.
//
// Every least-squares fit of one window position is a sub-problem of it: the normal equations
// of position i are the sub-block without row and column i, with column i as right-hand side.
// One pass over the samples thus serves all positions.
//
// The sums run in double in a fixed order: the rows are cut into blocks of `kGramBlockRows`
// consecutive training rows; each block sums its rows in increasing order, from +0.0; the
// block sums are added in block order on the calling thread. Blocks run in parallel on the
// worker pool, but neither the worker count nor the instruction set can change a bit: the
// arithmetic is plain double with every product rounded before its sum.

#include <cstddef>
#include <vector>

#include "data/windows.hpp"

namespace tacitor::linear {

// Training rows summed by one task before its sums join the others.
inline constexpr std::size_t kGramBlockRows = 4096;

struct GramMatrix {
  // Rows and columns: the window positions, then the ones column.
  std::size_t size = 0;
  // The training rows summed (the entry of the ones column with itself).
  std::size_t rows = 0;
  // Row-major, symmetric, size x size.
  std::vector<double> values;

  double operator()(std::size_t i, std::size_t j) const noexcept { return values[i * size + j]; }
};

// The Gram matrix of `windows` (all of one width w): (w + 1) x (w + 1). No windows give the
// zero matrix of size 1.
GramMatrix window_gram(const std::vector<data::Window>& windows);

}  // namespace tacitor::linear
