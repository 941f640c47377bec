// LinearRegression: fit and predict through both solvers, the method byte, the row check,
// strided targets, and exact bits of small fits.

#include "linear/linear_regression.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/internal_failure.hpp"
#include "least_squares_reference.hpp"

namespace tacitor {
namespace {

using testing::least_squares_f64;
using testing::random_matrix;
using testing::random_vector;

constexpr LinearRegressionParameters kSvd{LeastSquaresMethod::SVD};
constexpr LinearRegressionParameters kQr{LeastSquaresMethod::QR};

DenseMatrix rows_of(std::size_t nrows, std::size_t ncols, std::vector<float> values) {
  return DenseMatrix::create(nrows, ncols, std::move(values), false).value();
}

LinearRegressionParameters with_method_byte(std::uint8_t byte) {
  LinearRegressionParameters parameters;
  std::memcpy(&parameters.method, &byte, 1);
  return parameters;
}

std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

TEST(LinearRegressionFit, RecoversAnExactLinearModel) {
  const DenseMatrix x = random_matrix(40, 4, 300, false);
  const float w[] = {0.5f, -2.0f, 1.25f, 3.0f};
  std::vector<float> y(40);
  for (std::size_t r = 0; r < 40; ++r) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < 4; ++c)
      sum += x.at(r, c) * w[c];
    y[r] = sum + 0.75f;
  }
  for (const LinearRegressionParameters& parameters : {kSvd, kQr}) {
    const auto model_fit = LinearRegression::fit(x, y, parameters);
    ASSERT_TRUE(model_fit.has_value());
    const LinearRegression& model = *model_fit;
    ASSERT_EQ(model.coefficients->shape(), std::make_pair(std::size_t{4}, std::size_t{1}));
    EXPECT_FALSE(model.coefficients->column_major);
    for (std::size_t c = 0; c < 4; ++c)
      EXPECT_NEAR(model.coefficients->get(c, 0), w[c], 1e-5);
    EXPECT_NEAR(*model.intercept, 0.75f, 1e-5);
    const std::vector<float> predicted = model.predict(x).value();
    ASSERT_EQ(predicted.size(), 40u);
    for (std::size_t r = 0; r < 40; ++r)
      EXPECT_NEAR(predicted[r], y[r], 1e-5);
  }
}

TEST(LinearRegressionFit, AgreesWithFloat64LeastSquaresOnNoisyData) {
  const DenseMatrix x = random_matrix(300, 7, 301, false);
  const std::vector<float> y = random_vector(300, 302);
  const DenseMatrix design = x.h_stack(DenseMatrix::ones(300, 1));
  const std::vector<double> expected = least_squares_f64(design, y);
  for (const LinearRegressionParameters& parameters : {kSvd, kQr}) {
    const auto model_fit = LinearRegression::fit(x, y, parameters);
    ASSERT_TRUE(model_fit.has_value());
    const LinearRegression& model = *model_fit;
    for (std::size_t c = 0; c < 7; ++c) {
      EXPECT_NEAR(model.coefficients->get(c, 0), expected[c], 1e-5);
    }
    EXPECT_NEAR(*model.intercept, expected[7], 1e-5);
  }
}

TEST(LinearRegressionFit, NoFeaturesFitsTheMean) {
  const DenseMatrix x = DenseMatrix::zeros(6, 0, false);
  const std::vector<float> y = {1, 2, 3, 4, 5, 9};
  for (const LinearRegressionParameters& parameters : {kSvd, kQr}) {
    const auto model_fit = LinearRegression::fit(x, y, parameters);
    ASSERT_TRUE(model_fit.has_value());
    const LinearRegression& model = *model_fit;
    EXPECT_EQ(model.coefficients->shape(), std::make_pair(std::size_t{0}, std::size_t{1}));
    EXPECT_NEAR(*model.intercept, 4.0f, 1e-6);
    const std::vector<float> predicted = model.predict(DenseMatrix::zeros(3, 0, false)).value();
    EXPECT_EQ(predicted, std::vector<float>(3, *model.intercept));
  }
}

TEST(LinearRegressionFit, ConstantTargetGoesToTheIntercept) {
  const DenseMatrix x = random_matrix(30, 3, 303, false);
  const std::vector<float> y(30, -2.5f);
  for (const LinearRegressionParameters& parameters : {kSvd, kQr}) {
    const auto model_fit = LinearRegression::fit(x, y, parameters);
    ASSERT_TRUE(model_fit.has_value());
    const LinearRegression& model = *model_fit;
    for (std::size_t c = 0; c < 3; ++c)
      EXPECT_NEAR(model.coefficients->get(c, 0), 0.0f, 1e-5);
    EXPECT_NEAR(*model.intercept, -2.5f, 1e-5);
  }
}

TEST(LinearRegressionFit, StridedTargetGivesTheSameModel) {
  const DenseMatrix x = random_matrix(25, 3, 304, false);
  const std::vector<float> contiguous = random_vector(25, 305);
  std::vector<float> interleaved(50, 99.0f);
  for (std::size_t i = 0; i < 25; ++i)
    interleaved[2 * i] = contiguous[i];
  const auto a_fit = LinearRegression::fit(x, contiguous, kSvd);
  ASSERT_TRUE(a_fit.has_value());
  const LinearRegression& a = *a_fit;
  const auto b_fit = LinearRegression::fit(x, VectorView(interleaved.data(), 25, 2), kSvd);
  ASSERT_TRUE(b_fit.has_value());
  const LinearRegression& b = *b_fit;
  EXPECT_EQ(a.coefficients->values, b.coefficients->values);
  EXPECT_EQ(bits(*a.intercept), bits(*b.intercept));
}

// Only byte 0 selects QR; any other byte (named or not) selects SVD. An all-zero feature
// column tells the two apart: QR fails on it, SVD gives it weight zero.
TEST(LinearRegressionFit, MethodByteSelectsTheSolver) {
  DenseMatrix x = random_matrix(20, 2, 306, false);
  for (std::size_t r = 0; r < 20; ++r) {
    x.at(r, 1) = 0.0f;
  }
  const std::vector<float> y = random_vector(20, 307);
  const auto svd_fit = LinearRegression::fit(x, y, kSvd);
  ASSERT_TRUE(svd_fit.has_value());
  const LinearRegression& svd = *svd_fit;
  for (std::uint8_t byte : {1, 2, 255}) {
    const auto model_fit = LinearRegression::fit(x, y, with_method_byte(byte));
    ASSERT_TRUE(model_fit.has_value());
    const LinearRegression& model = *model_fit;
    EXPECT_EQ(model.coefficients->values, svd.coefficients->values) << int(byte);
    EXPECT_EQ(bits(*model.intercept), bits(*svd.intercept)) << int(byte);
  }
  EXPECT_EQ(svd.coefficients->get(1, 0), 0.0f);
  EXPECT_THROW((void)LinearRegression::fit(x, y, with_method_byte(0)), InternalFailure);
}

TEST(LinearRegressionFit, RowMismatchIsAFitFailure) {
  const DenseMatrix x = random_matrix(4, 2, 308, false);
  const std::vector<float> y(5, 1.0f);
  const auto result = LinearRegression::fit(x, y, kSvd);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().err, FailedError::FitFailed);
  EXPECT_EQ(result.error().msg, "Number of rows of X doesn't match number of rows of Y");
  EXPECT_EQ(result.error().to_string(),
            "Fit failed: Number of rows of X doesn't match number of rows of Y");
}

TEST(LinearRegressionFit, TooFewRowsIsAnInternalFailure) {
  const DenseMatrix x = random_matrix(3, 4, 309, false);
  const std::vector<float> y(3, 1.0f);
  try {
    (void)LinearRegression::fit(x, y, kSvd);
    FAIL() << "no internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_NE(failure.message().find("3 rows but 5 unknowns"), std::string::npos);
  }
  EXPECT_THROW((void)LinearRegression::fit(x, y, kQr), InternalFailure);
}

TEST(LinearRegressionPredict, UnfittedModelAndWrongWidth) {
  const LinearRegression unfitted;
  const auto result = unfitted.predict(DenseMatrix::zeros(2, 1, false));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().err, FailedError::PredictFailed);
  const auto model_fit =
      LinearRegression::fit(random_matrix(10, 2, 310, false), random_vector(10, 311), kSvd);
  ASSERT_TRUE(model_fit.has_value());
  const LinearRegression& model = *model_fit;
  EXPECT_THROW((void)model.predict(DenseMatrix::zeros(2, 3, false)), InternalFailure);
}

// Exact bits of two small fits, one per solver. The arithmetic path of both was checked
// against the plain loops of the solver tests; a change here means the order of operations
// changed somewhere between the design matrix and the split of the solution.
TEST(LinearRegressionFit, PinnedBitsOfSmallFits) {
  const DenseMatrix x = rows_of(5, 2, {1, 2, 3, 5, 4, 4, 6, 1, 2, 7});
  const std::vector<float> y = {1, 2, 3, 5, 0.5f};
  const auto svd_fit = LinearRegression::fit(x, y, kSvd);
  ASSERT_TRUE(svd_fit.has_value());
  const LinearRegression& svd = *svd_fit;
  const auto qr_fit = LinearRegression::fit(x, y, kQr);
  ASSERT_TRUE(qr_fit.has_value());
  const LinearRegression& qr = *qr_fit;
  const std::vector<float> svd_predicted = svd.predict(x).value();
  EXPECT_EQ(svd.coefficients->values, (std::vector<float>{0x1.8b625p-1f, -0x1.d0fbbcp-3f}));
  EXPECT_EQ(bits(*svd.intercept), bits(0x1.621b02p-1f));
  EXPECT_EQ(qr.coefficients->values, (std::vector<float>{0x1.8b6244p-1f, -0x1.d0fbccp-3f}));
  EXPECT_EQ(bits(*qr.intercept), bits(0x1.621b28p-1f));
  EXPECT_EQ(svd_predicted, (std::vector<float>{0x1.027fbap+0f, 0x1.df83a4p+0f, 0x1.6faa2p+1f,
                                               0x1.46453ep+2f, 0x1.4b271ap-1f}));
}

}  // namespace
}  // namespace tacitor
