// The Householder QR solver: agreement with float64 least squares and with the plain loops,
// rank deficiency (exact zeros only), and its failure texts.

#include "linalg/traits/qr.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>

#include "common/internal_failure.hpp"
#include "least_squares_reference.hpp"
#include "linalg/basic/hypotenuse.hpp"
#include "plain_solvers.hpp"

namespace tacitor {
namespace {

using testing::least_squares_f64;
using testing::plain_qr_solve;
using testing::random_matrix;
using testing::random_vector;

DenseMatrix column(const std::vector<float>& values) {
  return DenseMatrix::create(values.size(), 1, values, false).value();
}

std::string internal_failure_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  return "<no internal failure>";
}

TEST(QrSolve, MatchesPlainLoopsAndFloat64LeastSquares) {
  const std::pair<std::size_t, std::size_t> shapes[] = {{1, 1}, {6, 6}, {30, 4}, {500, 13}};
  unsigned seed = 200;
  for (const auto& [m, n] : shapes) {
    const DenseMatrix a = random_matrix(m, n, seed, seed % 2 == 0);
    ++seed;
    const std::vector<float> b = random_vector(m, seed++);
    const std::vector<float> plain = plain_qr_solve(a, b);
    const std::vector<double> expected = least_squares_f64(a, b);
    const DenseMatrix x = QRDecomposable::qr_solve_mut(a, column(b)).value();
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    ASSERT_EQ(x.nrows, m);
    for (std::size_t j = 0; j < m; ++j) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(x.values[j]), std::bit_cast<std::uint32_t>(plain[j]))
          << "row " << j;
    }
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_NEAR(x.values[j], expected[j], 1e-4 * (1.0 + std::fabs(expected[j])));
    }
  }
}

TEST(QrSolve, SquareSystemIsSolvedExactlyUpToRounding) {
  const DenseMatrix a = random_matrix(7, 7, 3);
  const std::vector<float> b = random_vector(7, 4);
  const DenseMatrix x = QRDecomposable::qr_solve_mut(a, column(b)).value();
  for (std::size_t r = 0; r < 7; ++r) {
    double ax = 0.0;
    for (std::size_t c = 0; c < 7; ++c)
      ax += double(a.at(r, c)) * x.values[c];
    EXPECT_NEAR(ax, b[r], 1e-4);
  }
}

TEST(QrSolve, SeveralRightHandSidesInRowMajorLayout) {
  const DenseMatrix a = random_matrix(15, 3, 5);
  const std::vector<float> b0 = random_vector(15, 6), b1 = random_vector(15, 7);
  DenseMatrix rows = DenseMatrix::zeros(15, 2, false);
  for (std::size_t r = 0; r < 15; ++r)
    rows.at(r, 0) = b0[r], rows.at(r, 1) = b1[r];
  const DenseMatrix both = QRDecomposable::qr_solve_mut(a, rows).value();
  const std::vector<float> x0 = plain_qr_solve(a, b0), x1 = plain_qr_solve(a, b1);
  EXPECT_FALSE(both.column_major);
  for (std::size_t r = 0; r < 15; ++r) {
    EXPECT_EQ(both.at(r, 0), x0[r]);
    EXPECT_EQ(both.at(r, 1), x1[r]);
  }
}

TEST(QrSolve, OnesColumnGivesTheMean) {
  const std::vector<float> b = random_vector(11, 8);
  double mean = 0.0;
  for (float value : b)
    mean += value / 11.0;
  const DenseMatrix x = QRDecomposable::qr_solve_mut(DenseMatrix::ones(11, 1), column(b)).value();
  EXPECT_NEAR(x.values[0], mean, 1e-6);
}

// A norm at or below eps leaves the column unreflected; only an exact zero is deficient.
TEST(QrFactor, TinyColumnIsNeitherReflectedNorDeficient) {
  DenseMatrix a = DenseMatrix::zeros(3, 1, true);
  a.values = {3e-8f, -4e-8f, 1e-9f};
  const std::vector<float> original = a.values;
  const QR qr = qr_factor(a);
  EXPECT_FALSE(qr.rank_deficient);
  EXPECT_EQ(qr.factors.values, original);
  const float nrm =
      linalg::hypotenuse(linalg::hypotenuse(linalg::hypotenuse(0.0f, 3e-8f), -4e-8f), 1e-9f);
  EXPECT_EQ(qr.rdiag[0], -nrm);
  EXPECT_NO_THROW((void)qr.solve(column({1, 2, 3})));
}

TEST(QrFactor, ExactZerosAreRankDeficient) {
  DenseMatrix zero_column = random_matrix(5, 3, 9);
  for (std::size_t r = 0; r < 5; ++r)
    zero_column.at(r, 1) = 0.0f;
  EXPECT_TRUE(qr_factor(zero_column).rank_deficient);
  EXPECT_TRUE(qr_factor(random_matrix(2, 4, 10)).rank_deficient);
  EXPECT_FALSE(qr_factor(random_matrix(4, 4, 11)).rank_deficient);
}

TEST(QrFailures, InternalFailuresWithTheirTexts) {
  DenseMatrix zero_column = random_matrix(5, 2, 12);
  for (std::size_t r = 0; r < 5; ++r)
    zero_column.at(r, 0) = 0.0f;
  EXPECT_EQ(internal_failure_text([&] {
              (void)QRDecomposable::qr_solve_mut(zero_column, column(random_vector(5, 1)));
            }),
            "Matrix is rank deficient.");
  EXPECT_EQ(internal_failure_text([] {
              (void)QRDecomposable::qr_solve_mut(random_matrix(3, 5, 13), column({1, 2, 3}));
            }),
            "Matrix is rank deficient.");
  EXPECT_EQ(internal_failure_text([] {
              (void)QRDecomposable::qr_solve_mut(random_matrix(4, 2, 14), column({1, 2, 3}));
            }),
            "Row dimensions do not agree: A is 4 x 2, but B is 3 x 1");
}

}  // namespace
}  // namespace tacitor
