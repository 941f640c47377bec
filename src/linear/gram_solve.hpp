#pragma once
// Least squares of one window position from the Gram matrix of the whole plan.
//
// Position i's design matrix A holds the other positions and the ones column, its target is
// position i; A^T A and A^T b are the Gram matrix without row and column i, and column i
// without row i. The solve eigen-decomposes A^T A = V diag(lambda) V^T and returns the
// minimum-norm solution over the eigenvalues kept, the same rank rule as the SVD route: a
// singular value sigma_j = sqrt(lambda_j) counts only above
//     sigma_0 * sqrt(m + n + 1) / 2 * 2^-23
// (sigma_0 the largest, m training rows, n columns of A), so the two routes drop the same
// directions of rank-deficient and ill-conditioned windows (constant or duplicated series).

#include <cstddef>
#include <vector>

#include "linear/gram_matrix.hpp"

namespace tacitor::linear {

// The window_size weights of position `position`: the other positions in increasing order,
// then the intercept. `position` < gram.size - 1.
std::vector<double> gram_solve(const GramMatrix& gram, std::size_t position);

}  // namespace tacitor::linear
