#pragma once
// LinearRegression: ordinary least squares with an intercept, in float32.
//
// Fitting appends a column of ones to the features and solves the least-squares system with
// either a Householder QR or an SVD solver; the weight of the ones column is the intercept.

#include <cstdint>
#include <optional>
#include <vector>

#include "common/expected.hpp"
#include "common/failed.hpp"
#include "linalg/basic/matrix.hpp"
#include "linalg/basic/vector_view.hpp"

namespace tacitor {

// Stored in one byte; fit takes QR only for 0 and SVD for every other value.
enum class LeastSquaresMethod : std::uint8_t { QR = 0, SVD = 1 };

struct LinearRegressionParameters {
  LeastSquaresMethod method = LeastSquaresMethod::SVD;
};

class LinearRegression {
 public:
  // p x 1, row-major: row k is the weight of feature column k.
  std::optional<DenseMatrix> coefficients;
  std::optional<float> intercept;

  // x is n x p, y has n elements (read in logical order). A row-count mismatch is a
  // FitFailed; the solvers' numerical dead ends are internal failures.
  static Expected<LinearRegression, Failed> fit(const DenseMatrix& x, VectorView y,
                                                const LinearRegressionParameters& parameters);

  // One value per row of x: (sum_j x[i, j] * w_j) + intercept, evaluated left to right.
  Expected<std::vector<float>, Failed> predict(const DenseMatrix& x) const;
};

}  // namespace tacitor
