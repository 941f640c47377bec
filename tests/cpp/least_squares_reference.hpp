#pragma once
// Shared helpers of the least-squares tests: seeded random matrices and a float64
// least-squares reference (Householder QR in double precision).

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "linalg/basic/matrix.hpp"

namespace tacitor::testing {

inline DenseMatrix random_matrix(std::size_t nrows, std::size_t ncols, unsigned seed,
                                 bool column_major = true) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  DenseMatrix matrix = DenseMatrix::zeros(nrows, ncols, column_major);
  for (float& value : matrix.values) {
    value = uniform(generator);
  }
  return matrix;
}

inline std::vector<float> random_vector(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(size);
  for (float& value : values) {
    value = uniform(generator);
  }
  return values;
}

// argmin |A x - b| for A of full column rank, computed in double precision.
inline std::vector<double> least_squares_f64(const DenseMatrix& a, const std::vector<float>& b) {
  const std::size_t m = a.nrows;
  const std::size_t n = a.ncols;
  std::vector<double> q(m * n);
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < n; ++c) {
      q[c * m + r] = a.at(r, c);
    }
  }
  std::vector<double> y(b.begin(), b.end());
  std::vector<double> diag(n);
  for (std::size_t k = 0; k < n; ++k) {
    double norm = 0.0;
    for (std::size_t i = k; i < m; ++i) {
      norm += q[k * m + i] * q[k * m + i];
    }
    norm = std::sqrt(norm);
    const double alpha = q[k * m + k] > 0 ? -norm : norm;
    q[k * m + k] -= alpha;
    double vv = 0.0;
    for (std::size_t i = k; i < m; ++i) {
      vv += q[k * m + i] * q[k * m + i];
    }
    auto reflect = [&](double* column) {
      double dot = 0.0;
      for (std::size_t i = k; i < m; ++i) {
        dot += q[k * m + i] * column[i];
      }
      for (std::size_t i = k; i < m; ++i) {
        column[i] -= 2.0 * dot / vv * q[k * m + i];
      }
    };
    for (std::size_t j = k + 1; j < n; ++j) {
      reflect(&q[j * m]);
    }
    reflect(y.data());
    diag[k] = alpha;
  }
  std::vector<double> x(n);
  for (std::size_t k = n; k-- > 0;) {
    double sum = y[k];
    for (std::size_t j = k + 1; j < n; ++j) {
      sum -= q[j * m + k] * x[j];
    }
    x[k] = sum / diag[k];
  }
  return x;
}

}  // namespace tacitor::testing
