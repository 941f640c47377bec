#include "linear/gram_solve.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "linear/symmetric_eigen.hpp"

namespace tacitor::linear {
namespace {

// float32's machine epsilon: the SVD route works in float32, and its cut-off scales with it.
constexpr double kFloatEpsilon = 0x1p-23;

}  // namespace

std::vector<double> gram_solve(const GramMatrix& gram, std::size_t position) {
  const std::size_t size = gram.size;
  if (size < 2 || position + 1 >= size) {
    raise_internal_failure("gram_solve: position " + std::to_string(position) +
                           " is not a window position of a Gram matrix of size " +
                           std::to_string(size));
  }
  const std::size_t n = size - 1;  // columns of A: the other positions and the ones column
  std::vector<std::size_t> columns;
  columns.reserve(n);
  for (std::size_t c = 0; c < size; ++c) {
    if (c != position) {
      columns.push_back(c);
    }
  }
  std::vector<double> normal(n * n);
  std::vector<double> right(n);
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      normal[a * n + b] = gram(columns[a], columns[b]);
    }
    right[a] = gram(columns[a], position);
  }
  const SymmetricEigen eigen = symmetric_eigen(std::move(normal), n);
  double largest = 0.0;
  for (const double lambda : eigen.values) {
    largest = std::fmax(largest, lambda);
  }
  const double m = static_cast<double>(gram.rows);
  const double share = std::sqrt(m + static_cast<double>(n) + 1.0) * 0.5 * kFloatEpsilon;
  const double cutoff = largest * (share * share);
  std::vector<double> solution(n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    const double lambda = eigen.values[j];
    if (!(lambda > cutoff)) {
      continue;
    }
    double projection = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      const double product = eigen.vectors[k * n + j] * right[k];
      projection = projection + product;
    }
    const double weight = projection / lambda;
    for (std::size_t k = 0; k < n; ++k) {
      const double product = eigen.vectors[k * n + j] * weight;
      solution[k] = solution[k] + product;
    }
  }
  return solution;
}

}  // namespace tacitor::linear
