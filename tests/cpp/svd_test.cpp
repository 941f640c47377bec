// The SVD solver: properties of the decomposition, the edge cases of the solve, its
// failures, and bit-exact agreement with a plain transcription of the textbook loops (the
// library restructures those loops for speed and must not change a single bit).

#include "linalg/traits/svd.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "instruction_levels.hpp"
#include "least_squares_reference.hpp"
#include "linalg/basic/epsilon.hpp"
#include "plain_solvers.hpp"

namespace tacitor {
namespace {

using linalg::kEpsilon;
using testing::least_squares_f64;
using testing::plain_svd_solve;
using testing::PlainSvd;
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

void expect_same_bits(const std::vector<float>& expected, const std::vector<float>& actual,
                      const char* what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(expected[i]), std::bit_cast<std::uint32_t>(actual[i]))
        << what << " element " << i << ": " << expected[i] << " vs " << actual[i];
  }
}

// Random columns of very different scales (huge, tiny, subnormal), zero and constant columns,
// zeros of both signs scattered in, and a ones column last, like a design matrix.
DenseMatrix adversarial_matrix(std::size_t m, std::size_t n, unsigned seed) {
  DenseMatrix a = random_matrix(m, n, seed);
  const float scales[] = {1.0f, 3e12f, 2e-12f, 1.0f, 1.0f, 1.0f};
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t r = 0; r < m; ++r) {
      float& value = a.at(r, c);
      value = c + 1 == n ? 1.0f : value * scales[c % 6];
      if (c % 7 == 4)
        value = 0.0f;
      if (c % 7 == 5)
        value = -2.5f;
      if ((r * 13 + c) % 11 == 0)
        value = (r % 2 == 0) ? 0.0f : -0.0f;
      if ((r * 7 + c) % 17 == 3)
        value = 3e-39f;  // subnormal
    }
  }
  return a;
}

// Shapes chosen to cross the row-block sizes and rotation batches of the fast loops and to
// include square, single-column and wider-than-tall matrices, and row counts whose columns
// start a multiple of 4 KiB apart. Every instruction-set level must give the plain bits.
TEST(SvdFactor, MatchesPlainLoopsBitForBit) {
  const std::pair<std::size_t, std::size_t> shapes[] = {
      {1, 1},     {7, 1},   {6, 6},     {9, 4},     {3, 5},   {300, 7},
      {1100, 16}, {70, 33}, {180, 170}, {1024, 16}, {2048, 5}};
  struct Case {
    DenseMatrix a;
    PlainSvd plain;
    std::vector<float> b;
    std::vector<float> solution;
  };
  std::vector<Case> cases;
  unsigned seed = 1;
  for (const auto& [m, n] : shapes) {
    for (const DenseMatrix& a : {random_matrix(m, n, seed), adversarial_matrix(m, n, seed)}) {
      std::vector<float> b = random_vector(m, seed + 100);
      std::vector<float> solution = m >= n ? plain_svd_solve(a, b) : std::vector<float>{};
      cases.push_back({a, PlainSvd(a), std::move(b), std::move(solution)});
    }
    ++seed;
  }
  testing::for_each_instruction_set([&] {
    for (const Case& c : cases) {
      const SVDFactors fast = svd_factor(c.a);
      SCOPED_TRACE(std::to_string(c.a.nrows) + "x" + std::to_string(c.a.ncols));
      expect_same_bits(c.plain.w, fast.sigma, "sigma");
      expect_same_bits(c.plain.a, fast.u.values, "u");
      expect_same_bits(c.plain.v, fast.v.values, "v");
      if (!c.solution.empty()) {
        const DenseMatrix x = SVDDecomposable::svd_solve_mut(c.a, column(c.b)).value();
        expect_same_bits(c.solution, x.values, "solution");
      }
    }
  });
}

// The in-place solve on padded storage gives the bits of the matrix solve.
TEST(SvdSolve, InPlaceOnPaddedColumnsMatchesTheMatrixSolve) {
  testing::for_each_instruction_set([] {
    for (const auto& [m, n] : {std::pair<std::size_t, std::size_t>{1024, 16}, {37, 3}}) {
      const DenseMatrix a = adversarial_matrix(m, n, 5);
      const std::vector<float> b = random_vector(m, 6);
      const DenseMatrix expected = SVDDecomposable::svd_solve_mut(a, column(b)).value();
      const std::size_t stride = m + 16;
      std::vector<float> padded(stride * n, -7.0f), actual = b;
      for (std::size_t c = 0; c < n; ++c)
        for (std::size_t r = 0; r < m; ++r)
          padded[c * stride + r] = a.at(r, c);
      svd_solve_in_place({padded.data(), m, n, stride}, actual.data());
      expect_same_bits(expected.values, actual, "solution");
      for (std::size_t c = 0; c < n; ++c)
        for (std::size_t r = m; r < stride; ++r)
          ASSERT_EQ(padded[c * stride + r], -7.0f);
    }
  });
}

TEST(SvdFactor, RowMajorInputGivesTheSameFactors) {
  const DenseMatrix column_major = random_matrix(40, 5, 11, true);
  const DenseMatrix row_major = column_major.to_column_major();
  DenseMatrix as_rows = DenseMatrix::zeros(40, 5, false);
  for (std::size_t r = 0; r < 40; ++r)
    for (std::size_t c = 0; c < 5; ++c)
      as_rows.at(r, c) = column_major.at(r, c);
  const SVDFactors expected = svd_factor(row_major);
  const SVDFactors actual = svd_factor(as_rows);
  expect_same_bits(expected.sigma, actual.sigma, "sigma");
  expect_same_bits(expected.u.values, actual.u.values, "u");
}

// A V = U diag(sigma), sigma sorted and non-negative, and no (u, v) pair mostly negative.
TEST(SvdFactor, DecompositionProperties) {
  const std::pair<std::size_t, std::size_t> shapes[] = {{12, 4}, {50, 10}, {8, 8}, {200, 3}};
  unsigned seed = 40;
  for (const auto& [m, n] : shapes) {
    const DenseMatrix a = random_matrix(m, n, seed++);
    const SVDFactors f = svd_factor(a);
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    ASSERT_EQ(f.sigma.size(), n);
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_GE(f.sigma[j], 0.0f);
      if (j > 0) {
        EXPECT_LE(f.sigma[j], f.sigma[j - 1]);
      }
    }
    const double tol = 1e-5 * std::sqrt(static_cast<double>(m)) * f.sigma[0];
    for (std::size_t j = 0; j < n; ++j) {
      std::size_t negatives = 0;
      for (std::size_t r = 0; r < m; ++r) {
        double av = 0.0;
        for (std::size_t k = 0; k < n; ++k)
          av += double(a.at(r, k)) * f.v.at(k, j);
        EXPECT_NEAR(av, double(f.u.at(r, j)) * f.sigma[j], tol) << "row " << r << " col " << j;
        negatives += f.u.at(r, j) < 0.0f;
      }
      for (std::size_t k = 0; k < n; ++k) {
        negatives += f.v.at(k, j) < 0.0f;
        double vtv = 0.0;
        for (std::size_t r = 0; r < n; ++r)
          vtv += double(f.v.at(r, j)) * f.v.at(r, k);
        EXPECT_NEAR(vtv, j == k ? 1.0 : 0.0, 1e-5);
      }
      EXPECT_LE(negatives * 2, m + n) << "column " << j;
    }
  }
}

// Full-rank systems: the float64 least-squares solution within float32 tolerance, and the
// residual orthogonal to every column of A.
TEST(SvdSolve, AgreesWithFloat64LeastSquares) {
  const std::pair<std::size_t, std::size_t> shapes[] = {{5, 5}, {30, 4}, {400, 12}, {2000, 16}};
  unsigned seed = 70;
  for (const auto& [m, n] : shapes) {
    const DenseMatrix a = random_matrix(m, n, seed++);
    const std::vector<float> b = random_vector(m, seed++);
    const std::vector<double> expected = least_squares_f64(a, b);
    const DenseMatrix x = SVDDecomposable::svd_solve_mut(a, column(b)).value();
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    ASSERT_EQ(x.nrows, m);
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_NEAR(x.values[j], expected[j], 1e-4 * (1.0 + std::fabs(expected[j])));
    }
    for (std::size_t j = n; j < m; ++j) {
      EXPECT_EQ(x.values[j], b[j]) << "scratch row " << j << " must be unchanged";
    }
    for (std::size_t c = 0; c < n; ++c) {
      double dot = 0.0, scale = 0.0;
      for (std::size_t r = 0; r < m; ++r) {
        double residual = b[r];
        for (std::size_t k = 0; k < n; ++k)
          residual -= double(a.at(r, k)) * x.values[k];
        dot += residual * a.at(r, c);
        scale += std::fabs(a.at(r, c));
      }
      EXPECT_NEAR(dot, 0.0, 1e-5 * scale) << "column " << c;
    }
  }
}

TEST(SvdSolve, SeveralRightHandSidesInEitherLayout) {
  const DenseMatrix a = random_matrix(20, 3, 90);
  const std::vector<float> b0 = random_vector(20, 91), b1 = random_vector(20, 92);
  DenseMatrix rows = DenseMatrix::zeros(20, 2, false);
  for (std::size_t r = 0; r < 20; ++r)
    rows.at(r, 0) = b0[r], rows.at(r, 1) = b1[r];
  const DenseMatrix both = SVDDecomposable::svd_solve_mut(a, rows).value();
  const DenseMatrix x0 = SVDDecomposable::svd_solve_mut(a, column(b0)).value();
  const DenseMatrix x1 = SVDDecomposable::svd_solve_mut(a, column(b1)).value();
  EXPECT_FALSE(both.column_major);
  for (std::size_t r = 0; r < 20; ++r) {
    EXPECT_EQ(both.at(r, 0), x0.values[r]);
    EXPECT_EQ(both.at(r, 1), x1.values[r]);
  }
}

// Rank-deficient designs get the minimum-norm solution instead of an error.
TEST(SvdSolve, ZeroColumnBesideOnes) {
  const std::size_t m = 9;
  DenseMatrix a = DenseMatrix::zeros(m, 2, true);
  std::vector<float> b(m);
  double mean = 0.0;
  for (std::size_t r = 0; r < m; ++r) {
    a.at(r, 1) = 1.0f;
    b[r] = 0.5f * float(r) - 1.0f;
    mean += b[r] / double(m);
  }
  const SVDFactors f = svd_factor(a);
  EXPECT_NEAR(f.sigma[0], 3.0f, 1e-6);
  EXPECT_EQ(f.sigma[1], 0.0f);
  const DenseMatrix x = SVDDecomposable::svd_solve_mut(a, column(b)).value();
  EXPECT_EQ(x.values[0], 0.0f);
  EXPECT_NEAR(x.values[1], mean, 1e-6);
}

TEST(SvdSolve, OnesColumnGivesTheMean) {
  const std::vector<float> b = random_vector(13, 5);
  double mean = 0.0;
  for (float value : b)
    mean += value / 13.0;
  const DenseMatrix x = SVDDecomposable::svd_solve_mut(DenseMatrix::ones(13, 1), column(b)).value();
  EXPECT_NEAR(x.values[0], mean, 1e-6);
  EXPECT_NEAR(svd_factor(DenseMatrix::ones(13, 1)).sigma[0], std::sqrt(13.0f), 1e-6);
}

TEST(SvdSolve, DuplicateColumnsShareTheWeight) {
  DenseMatrix a = random_matrix(25, 3, 6);
  for (std::size_t r = 0; r < 25; ++r)
    a.at(r, 2) = a.at(r, 1);
  std::vector<float> b(25);
  for (std::size_t r = 0; r < 25; ++r)
    b[r] = 2.0f * a.at(r, 0) + 3.0f * a.at(r, 1);
  const DenseMatrix x = SVDDecomposable::svd_solve_mut(a, column(b)).value();
  EXPECT_NEAR(x.values[0], 2.0f, 1e-5);
  EXPECT_NEAR(x.values[1], 1.5f, 1e-5);
  EXPECT_NEAR(x.values[2], 1.5f, 1e-5);
}

TEST(SvdSolve, AllZeroMatrix) {
  const DenseMatrix a = DenseMatrix::zeros(6, 3, true);
  SVDFactors f = svd_factor(a);
  for (float sigma : f.sigma)
    EXPECT_EQ(sigma, 0.0f);
  const SVD svd = SVD::create(std::move(f.u), std::move(f.v), std::move(f.sigma));
  EXPECT_EQ(svd.tolerance, 0.0f);
  const DenseMatrix x = svd.solve(column(random_vector(6, 8)));
  for (std::size_t j = 0; j < 3; ++j)
    EXPECT_EQ(x.values[j], 0.0f);
}

TEST(SvdSolve, ToleranceFormula) {
  SVDFactors f = svd_factor(random_matrix(10, 3, 9));
  const float sigma0 = f.sigma[0];
  const SVD svd = SVD::create(std::move(f.u), std::move(f.v), std::move(f.sigma));
  volatile float root = std::sqrt(14.0f);
  volatile float half = root * 0.5f;
  volatile float scaled = sigma0 * half;
  EXPECT_EQ(svd.tolerance, scaled * kEpsilon);
  EXPECT_EQ(svd.rows, 10u);
  EXPECT_EQ(svd.cols, 3u);
}

TEST(SvdFailures, InternalFailuresWithTheirTexts) {
  // Fewer rows than unknowns: the solution would not fit into b.
  EXPECT_EQ(internal_failure_text([] {
              (void)SVDDecomposable::svd_solve_mut(random_matrix(3, 5, 1), column({1, 2, 3}));
            }),
            "least-squares system has 3 rows but 5 unknowns: need at least as many training "
            "rows (windows x series) as the window size");
  EXPECT_NE(
      internal_failure_text([] {
        SVDFactors f = svd_factor(random_matrix(3, 5, 1));
        SVD::create(std::move(f.u), std::move(f.v), std::move(f.sigma)).solve(column({1, 2, 3}));
      }).find("3 rows but 5 unknowns"),
      std::string::npos);
  EXPECT_EQ(internal_failure_text([] {
              (void)SVDDecomposable::svd_solve_mut(random_matrix(4, 2, 1), column({1, 2, 3}));
            }),
            "Dimensions do not agree. U.nrows should equal b.nrows but is 4, 3");
  EXPECT_NE(internal_failure_text([] {
              (void)SVDDecomposable::svd_solve_mut(DenseMatrix::zeros(4, 0), column({1, 2, 3, 4}));
            }).find("0 columns"),
            std::string::npos);
  // NaN makes every split test fail, so the iteration can never converge.
  DenseMatrix poisoned = random_matrix(6, 3, 2);
  poisoned.at(2, 1) = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(internal_failure_text([&] { (void)svd_factor(poisoned); }),
            "no convergence in 30 iterations");
}

}  // namespace
}  // namespace tacitor
