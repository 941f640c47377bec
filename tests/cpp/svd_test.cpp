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
#include "linalg/basic/hypotenuse.hpp"

namespace tacitor {
namespace {

using testing::least_squares_f64;
using testing::random_matrix;
using testing::random_vector;

constexpr float kEps = 0x1p-23f;

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

// The decomposition written out loop by loop, one element at a time, on a column-major copy.
// clang-format off
struct PlainSvd {
  std::size_t m, n;
  std::vector<float> a, v, w, e;
  float& A(std::size_t r, std::size_t c) { return a[c * m + r]; }
  float& V(std::size_t r, std::size_t c) { return v[c * n + r]; }

  explicit PlainSvd(const DenseMatrix& input)
      : m(input.nrows), n(input.ncols), a(m * n), v(n * n, 0.0f), w(n, 0.0f), e(n, 0.0f) {
    for (std::size_t r = 0; r < m; ++r)
      for (std::size_t c = 0; c < n; ++c) A(r, c) = input.at(r, c);
    float g = 0, scale = 0, anorm = 0, s, f, h, t;
    for (std::size_t i = 0; i < n; ++i) {
      e[i] = scale * g;
      g = s = scale = 0;
      if (i < m) {
        for (std::size_t k = i; k < m; ++k) scale = scale + std::fabs(A(k, i));
        if (std::fabs(scale) > kEps) {
          for (std::size_t k = i; k < m; ++k) A(k, i) = A(k, i) / scale, s = s + A(k, i) * A(k, i);
          f = A(i, i), g = -std::copysign(std::sqrt(s), f), h = f * g - s, A(i, i) = f - g;
          for (std::size_t j = i + 1; j < n; ++j) {
            t = 0;
            for (std::size_t k = i; k < m; ++k) t = t + A(k, i) * A(k, j);
            f = t / h;
            for (std::size_t k = i; k < m; ++k) A(k, j) = f * A(k, i) + A(k, j);
          }
          for (std::size_t k = i; k < m; ++k) A(k, i) = scale * A(k, i);
        }
      }
      w[i] = scale * g;
      g = s = scale = 0;
      if (i < m && i + 1 != n) {
        for (std::size_t k = i + 1; k < n; ++k) scale = scale + std::fabs(A(i, k));
        if (std::fabs(scale) > kEps) {
          for (std::size_t k = i + 1; k < n; ++k) A(i, k) = A(i, k) / scale, s = s + A(i, k) * A(i, k);
          f = A(i, i + 1), g = -std::copysign(std::sqrt(s), f), h = f * g - s, A(i, i + 1) = f - g;
          for (std::size_t k = i + 1; k < n; ++k) e[k] = A(i, k) / h;
          for (std::size_t j = i + 1; j < m; ++j) {
            t = 0;
            for (std::size_t k = i + 1; k < n; ++k) t = t + A(j, k) * A(i, k);
            for (std::size_t k = i + 1; k < n; ++k) A(j, k) = t * e[k] + A(j, k);
          }
          for (std::size_t k = i + 1; k < n; ++k) A(i, k) = scale * A(i, k);
        }
      }
      anorm = std::fmax(anorm, std::fabs(w[i]) + std::fabs(e[i]));
    }
    std::size_t l = 0;
    for (std::size_t i = n; i-- > 0;) {
      if (i < n - 1) {
        if (g != 0) {
          for (std::size_t j = l; j < n; ++j) V(j, i) = (A(i, j) / A(i, l)) / g;
          for (std::size_t j = l; j < n; ++j) {
            t = 0;
            for (std::size_t k = l; k < n; ++k) t = t + A(i, k) * V(k, j);
            for (std::size_t k = l; k < n; ++k) V(k, j) = t * V(k, i) + V(k, j);
          }
        }
        for (std::size_t j = l; j < n; ++j) V(i, j) = V(j, i) = 0;
      }
      V(i, i) = 1, g = e[i], l = i;
    }
    for (std::size_t i = std::min(m, n); i-- > 0;) {
      l = i + 1, g = w[i];
      for (std::size_t j = l; j < n; ++j) A(i, j) = 0;
      if (std::fabs(g) > kEps) {
        g = 1 / g;
        for (std::size_t j = l; j < n; ++j) {
          t = 0;
          for (std::size_t k = l; k < m; ++k) t = t + A(k, i) * A(k, j);
          f = (t / A(i, i)) * g;
          for (std::size_t k = i; k < m; ++k) A(k, j) = f * A(k, i) + A(k, j);
        }
        for (std::size_t j = i; j < m; ++j) A(j, i) = A(j, i) * g;
      } else {
        for (std::size_t j = i; j < m; ++j) A(j, i) = 0;
      }
      A(i, i) = A(i, i) + 1;
    }
    const float thresh = kEps * anorm;
    std::size_t nm = 0;
    for (std::size_t k = n; k-- > 0;) {
      for (int its = 0;; ++its) {
        bool flag = true;
        l = k;
        while (l != 0) {
          if (std::fabs(e[l]) <= thresh) { flag = false; break; }
          nm = l - 1;
          if (std::fabs(w[nm]) <= thresh) break;
          l = l - 1;
        }
        float c, x, y, z;
        if (flag) {
          c = 0, s = 1;
          for (std::size_t i = l; i <= k; ++i) {
            f = s * e[i], e[i] = c * e[i];
            if (std::fabs(f) <= thresh) break;
            g = w[i], h = linalg::hypotenuse(f, g), w[i] = h, h = 1 / h, c = g * h, s = -(f * h);
            for (std::size_t j = 0; j < m; ++j)
              y = A(j, nm), z = A(j, i), A(j, nm) = y * c + z * s, A(j, i) = z * c - y * s;
          }
        }
        z = w[k];
        if (l == k) {
          if (z < 0) {
            w[k] = -z;
            for (std::size_t r = 0; r < n; ++r) V(r, k) = -V(r, k);
          }
          break;
        }
        if (its == 29) raise_internal_failure("no convergence in 30 iterations");
        x = w[l], nm = k - 1, y = w[nm], g = e[nm], h = e[k];
        f = ((y - z) * (y + z) + (g - h) * (g + h)) / (y * (2 * h));
        g = linalg::hypotenuse(f, 1.0f);
        f = ((x - z) * (x + z) + h * (y / (f + std::copysign(g, f)) - h)) / x;
        c = s = 1;
        for (std::size_t j = l; j <= nm; ++j) {
          const std::size_t i = j + 1;
          g = e[i], y = w[i], h = s * g, g = c * g;
          z = linalg::hypotenuse(f, h), e[j] = z, c = f / z, s = h / z;
          f = x * c + g * s, g = g * c - x * s, h = y * s, y = y * c;
          for (std::size_t r = 0; r < n; ++r)
            x = V(r, j), z = V(r, i), V(r, j) = x * c + z * s, V(r, i) = z * c - x * s;
          z = linalg::hypotenuse(f, h), w[j] = z;
          if (std::fabs(z) > kEps) z = 1 / z, c = f * z, s = h * z;
          f = c * g + s * y, x = c * y - s * g;
          for (std::size_t r = 0; r < m; ++r)
            y = A(r, j), z = A(r, i), A(r, j) = y * c + z * s, A(r, i) = z * c - y * s;
        }
        e[l] = 0, e[k] = f, w[k] = x;
      }
    }
    std::size_t inc = 1;
    do inc = inc * 3 + 1; while (inc <= n);
    std::vector<float> su(m), sv(n);
    do {
      inc /= 3;
      for (std::size_t i = inc; i < n; ++i) {
        const float sw = w[i];
        for (std::size_t r = 0; r < m; ++r) su[r] = A(r, i);
        for (std::size_t r = 0; r < n; ++r) sv[r] = V(r, i);
        std::size_t j = i;
        while (w[j - inc] < sw) {
          w[j] = w[j - inc];
          for (std::size_t r = 0; r < m; ++r) A(r, j) = A(r, j - inc);
          for (std::size_t r = 0; r < n; ++r) V(r, j) = V(r, j - inc);
          j -= inc;
          if (j < inc) break;
        }
        w[j] = sw;
        for (std::size_t r = 0; r < m; ++r) A(r, j) = su[r];
        for (std::size_t r = 0; r < n; ++r) V(r, j) = sv[r];
      }
    } while (inc > 1);
    for (std::size_t k = 0; k < n; ++k) {
      double negatives = 0;
      for (std::size_t i = 0; i < m; ++i) negatives += A(i, k) < 0 ? 1 : 0;
      for (std::size_t j = 0; j < n; ++j) negatives += V(j, k) < 0 ? 1 : 0;
      if (negatives > static_cast<double>(m + n) * 0.5) {
        for (std::size_t i = 0; i < m; ++i) A(i, k) = -A(i, k);
        for (std::size_t j = 0; j < n; ++j) V(j, k) = -V(j, k);
      }
    }
  }
};
// clang-format on

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
  std::vector<std::pair<DenseMatrix, PlainSvd>> cases;
  unsigned seed = 1;
  for (const auto& [m, n] : shapes) {
    for (const DenseMatrix& a : {random_matrix(m, n, seed), adversarial_matrix(m, n, seed)}) {
      cases.emplace_back(a, PlainSvd(a));
    }
    ++seed;
  }
  testing::for_each_instruction_set([&] {
    for (const auto& [a, plain] : cases) {
      const SVDFactors fast = svd_factor(a);
      SCOPED_TRACE(std::to_string(a.nrows) + "x" + std::to_string(a.ncols));
      expect_same_bits(plain.w, fast.sigma, "sigma");
      expect_same_bits(plain.a, fast.u.values, "u");
      expect_same_bits(plain.v, fast.v.values, "v");
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
  EXPECT_EQ(svd.tolerance, scaled * kEps);
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
