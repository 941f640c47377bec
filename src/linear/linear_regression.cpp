#include "linear/linear_regression.hpp"

#include <utility>

#include "linalg/traits/qr.hpp"
#include "linalg/traits/svd.hpp"

namespace tacitor {

Expected<LinearRegression, Failed> LinearRegression::fit(
    const DenseMatrix& x, VectorView y, const LinearRegressionParameters& parameters) {
  const std::size_t n = y.size();
  DenseMatrix b = DenseMatrix::zeros(n, 1, false);
  for (std::size_t i = 0; i < n; ++i) {
    b.values[i] = y[i];
  }
  if (x.nrows != n) {
    return unexpected(Failed::fit("Number of rows of X doesn't match number of rows of Y"));
  }
  const std::size_t p = x.ncols;
  // The weight of the appended ones column is the intercept.
  DenseMatrix a = x.h_stack(DenseMatrix::ones(n, 1));

  // Only the byte value 0 selects QR; every other value, named or not, selects SVD.
  const bool use_qr = static_cast<std::uint8_t>(parameters.method) == 0;
  Expected<DenseMatrix, Failed> solved =
      use_qr ? QRDecomposable::qr_solve_mut(std::move(a), std::move(b))
             : SVDDecomposable::svd_solve_mut(std::move(a), std::move(b));
  if (!solved) {
    return unexpected(std::move(solved).error());
  }
  const DenseMatrix& w = *solved;

  LinearRegression model;
  model.coefficients = DenseMatrix::from_slice(w.slice(0, p, 0, 1));
  model.intercept = w.get(p, 0);
  return model;
}

Expected<std::vector<float>, Failed> LinearRegression::predict(const DenseMatrix& x) const {
  if (!coefficients || !intercept) {
    return unexpected(
        Failed{FailedError::PredictFailed, "The model has not been fitted: no coefficients"});
  }
  const std::size_t r = x.nrows;
  const DenseMatrix k = DenseMatrix::fill(r, 1, *intercept);
  DenseMatrix t = x.matmul(*coefficients);
  // t = k + t, element by element.
  t.add_mut(k);
  // matmul returns a row-major r x 1 matrix: its values are t[0, 0] .. t[r-1, 0] in order.
  return std::move(t.values);
}

}  // namespace tacitor
