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
// How far above the cut-off the whole matrix's smallest eigenvalue must lie for the shortcut of
// gram_solve_all: room for the rounding of the computed eigenvalues.
constexpr double kShortcutMargin = 16.0;

// lambda_max * (sqrt(m + n + 1) / 2 * eps)^2: the square of the SVD route's singular-value
// cut-off for a design of `rows` rows and `columns` columns.
double eigenvalue_cutoff(double largest, std::size_t rows, std::size_t columns) {
  const double share = std::sqrt(static_cast<double>(rows) + static_cast<double>(columns) + 1.0) *
                       0.5 * kFloatEpsilon;
  return largest * (share * share);
}

double largest_of(const std::vector<double>& values) {
  double largest = 0.0;
  for (const double value : values) {
    largest = std::fmax(largest, value);
  }
  return largest;
}

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
  const double cutoff = eigenvalue_cutoff(largest_of(eigen.values), gram.rows, n);
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

std::optional<std::vector<std::vector<double>>> gram_solve_all(const GramMatrix& gram) {
  const std::size_t size = gram.size;
  if (size < 2) {
    return std::vector<std::vector<double>>{};
  }
  const SymmetricEigen eigen = symmetric_eigen(gram.values, size);
  const double cutoff = eigenvalue_cutoff(largest_of(eigen.values), gram.rows, size - 1);
  for (const double lambda : eigen.values) {
    if (!(lambda > kShortcutMargin * cutoff)) {
      return std::nullopt;
    }
  }
  // P = V diag(1 / lambda) V^T, row-major.
  std::vector<double> inverse(size * size, 0.0);
  for (std::size_t a = 0; a < size; ++a) {
    for (std::size_t b = 0; b < size; ++b) {
      double sum = 0.0;
      for (std::size_t j = 0; j < size; ++j) {
        const double product = eigen.vectors[a * size + j] * eigen.vectors[b * size + j];
        sum = sum + product / eigen.values[j];
      }
      inverse[a * size + b] = sum;
    }
  }
  std::vector<std::vector<double>> solutions(size - 1);
  for (std::size_t position = 0; position + 1 < size; ++position) {
    const double pivot = inverse[position * size + position];
    std::vector<double>& solution = solutions[position];
    solution.reserve(size - 1);
    for (std::size_t c = 0; c < size; ++c) {
      if (c != position) {
        solution.push_back(-inverse[c * size + position] / pivot);
      }
    }
  }
  return solutions;
}

}  // namespace tacitor::linear
