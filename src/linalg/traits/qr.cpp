#include "linalg/traits/qr.hpp"

#include <cmath>
#include <string>

#include "common/internal_failure.hpp"
#include "linalg/basic/column_kernels.hpp"
#include "linalg/basic/epsilon.hpp"
#include "linalg/basic/hypotenuse.hpp"

namespace tacitor {

namespace {

using linalg::kEpsilon;

}  // namespace

QR qr_factor(DenseMatrix a) {
  if (!a.column_major) {
    a = a.to_column_major();
  }
  const std::size_t m = a.nrows;
  const std::size_t n = a.ncols;
  float* base = a.values.data();
  QR qr;
  qr.rdiag.assign(n, 0.0f);
  std::vector<float> dots(n);
  for (std::size_t k = 0; k < n; ++k) {
    float* ck = base + k * m;
    // The norm accumulates pairwise through hypot, in increasing row order.
    float nrm = 0.0f;
    for (std::size_t i = k; i < m; ++i) {
      nrm = linalg::hypotenuse(nrm, ck[i]);
    }
    // A column at or below eps is left unreflected (NaN fails the test too).
    if (std::fabs(nrm) > kEpsilon) {
      if (ck[k] < 0.0f) {
        nrm = -nrm;
      }
      for (std::size_t i = k; i < m; ++i) {
        ck[i] = ck[i] / nrm;
      }
      ck[k] = ck[k] + 1.0f;
      // Each later column's update reads only column k and itself.
      const std::size_t count = n - k - 1;
      linalg::column_dots(ck, base + (k + 1) * m, m, count, k, m, dots.data());
      for (std::size_t q = 0; q < count; ++q) {
        const float s = -dots[q] / ck[k];
        linalg::scaled_add(s, ck, base + (k + 1 + q) * m, k, m);
      }
    }
    qr.rdiag[k] = -nrm;
  }
  for (float d : qr.rdiag) {
    if (d == 0.0f) {
      qr.rank_deficient = true;
    }
  }
  qr.factors = std::move(a);
  return qr;
}

DenseMatrix QR::solve(DenseMatrix b) const {
  const std::size_t m = factors.nrows;
  const std::size_t n = factors.ncols;
  const std::size_t p = b.ncols;
  if (b.nrows != m) {
    raise_internal_failure("Row dimensions do not agree: A is " + std::to_string(m) + " x " +
                           std::to_string(n) + ", but B is " + std::to_string(b.nrows) + " x " +
                           std::to_string(p));
  }
  if (rank_deficient) {
    raise_internal_failure("Matrix is rank deficient.");
  }
  // Rank deficiency covers m < n: a column with no rows below its diagonal has norm 0.
  if (m < n || rdiag.size() != n || !factors.column_major) {
    raise_internal_failure("inconsistent QR factorisation of a " + std::to_string(m) + "x" +
                           std::to_string(n) + " matrix");
  }
  const bool columns_contiguous = b.column_major || p == 1;
  DenseMatrix work = columns_contiguous ? std::move(b) : b.to_column_major();
  float* bv = work.values.data();
  const float* av = factors.values.data();

  // b = Q^T b, one reflection at a time; the columns of b are independent.
  std::vector<float> dots(p);
  for (std::size_t k = 0; k < n; ++k) {
    const float* ck = av + k * m;
    linalg::column_dots(ck, bv, m, p, k, m, dots.data());
    for (std::size_t j = 0; j < p; ++j) {
      const float s = -dots[j] / ck[k];
      linalg::scaled_add(s, ck, bv + j * m, k, m);
    }
  }
  // Back-substitution with R.
  for (std::size_t k = n; k-- > 0;) {
    for (std::size_t j = 0; j < p; ++j) {
      bv[j * m + k] = bv[j * m + k] / rdiag[k];
    }
    for (std::size_t i = 0; i < k; ++i) {
      const float aik = av[k * m + i];
      for (std::size_t j = 0; j < p; ++j) {
        const float product = bv[j * m + k] * aik;
        bv[j * m + i] = bv[j * m + i] - product;
      }
    }
  }
  if (columns_contiguous) {
    return work;
  }
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < p; ++c) {
      b.values[r * p + c] = work.values[c * m + r];
    }
  }
  return b;
}

Expected<DenseMatrix, Failed> QRDecomposable::qr_solve_mut(DenseMatrix a, DenseMatrix b) {
  const QR qr = qr_factor(std::move(a));
  return qr.solve(std::move(b));
}

}  // namespace tacitor
