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
#include <optional>
#include <vector>

#include "linear/gram_matrix.hpp"

namespace tacitor::linear {

// The window_size weights of position `position`: the other positions in increasing order,
// then the intercept. `position` < gram.size - 1.
std::vector<double> gram_solve(const GramMatrix& gram, std::size_t position);

// The weights of every position at once, in the layout of gram_solve, from one decomposition
// of the whole matrix: with P = G^-1, position i's weight of column c is -P[c][i] / P[i][i].
// That is the least-squares solution whenever every sub-block keeps all its directions, which
// holds when the whole matrix does: a sub-block's eigenvalues lie between the whole matrix's
// smallest and largest (Cauchy interlacing), so its smallest stays above its own cut-off.
// Nothing when the whole matrix has an eigenvalue near the cut-off; then gram_solve, which
// decides per position, is the way. The cost is one decomposition of (w + 1)^3 instead of w
// of w^3.
std::optional<std::vector<std::vector<double>>> gram_solve_all(const GramMatrix& gram);

}  // namespace tacitor::linear
