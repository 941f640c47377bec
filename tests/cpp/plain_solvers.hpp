#pragma once
// The least-squares solvers written out plainly, loop by loop and one element at a time: the
// references that the library's restructured loops must match bit for bit at every
// instruction-set level. Every product is rounded before it is added (the tests are built
// without contraction, which fma_test checks), and every sum runs in increasing index order.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/internal_failure.hpp"
#include "linalg/basic/epsilon.hpp"
#include "linalg/basic/hypotenuse.hpp"
#include "linalg/basic/matrix.hpp"

namespace tacitor::testing {

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
        if (std::fabs(scale) > linalg::kEpsilon) {
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
        if (std::fabs(scale) > linalg::kEpsilon) {
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
      if (std::fabs(g) > linalg::kEpsilon) {
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
    const float thresh = linalg::kEpsilon * anorm;
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
          if (std::fabs(z) > linalg::kEpsilon) z = 1 / z, c = f * z, s = h * z;
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

// The solve with the decomposition above, for one right-hand side of a.nrows values: the
// first a.ncols entries of the result are the solution and the others keep b's values.
inline std::vector<float> plain_svd_solve(const DenseMatrix& a, std::vector<float> b) {
  const PlainSvd svd(a);
  const std::size_t m = svd.m, n = svd.n;
  const float root = std::sqrt(static_cast<float>(m + n) + 1.0f);
  const float tolerance = (svd.w[0] * (root * 0.5f)) * linalg::kEpsilon;
  std::vector<float> tmp(n);
  for (std::size_t j = 0; j < n; ++j) {
    float dot = 0.0f;
    for (std::size_t i = 0; i < m; ++i)
      dot = dot + svd.a[j * m + i] * b[i];
    tmp[j] = svd.w[j] > tolerance ? dot / svd.w[j] : 0.0f;
  }
  for (std::size_t j = 0; j < n; ++j) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k)
      sum = sum + svd.v[k * n + j] * tmp[k];
    b[j] = sum;
  }
  return b;
}

// Factorisation and solve written out element by element, for one right-hand side.
inline std::vector<float> plain_qr_solve(const DenseMatrix& input, std::vector<float> b) {
  const std::size_t m = input.nrows, n = input.ncols;
  std::vector<float> a(m * n), rdiag(n);
  auto A = [&](std::size_t r, std::size_t c) -> float& { return a[c * m + r]; };
  for (std::size_t r = 0; r < m; ++r) {
    for (std::size_t c = 0; c < n; ++c) {
      A(r, c) = input.at(r, c);
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    float nrm = 0;
    for (std::size_t i = k; i < m; ++i)
      nrm = linalg::hypotenuse(nrm, A(i, k));
    if (std::fabs(nrm) > linalg::kEpsilon) {
      if (A(k, k) < 0)
        nrm = -nrm;
      for (std::size_t i = k; i < m; ++i)
        A(i, k) = A(i, k) / nrm;
      A(k, k) = A(k, k) + 1;
      for (std::size_t j = k + 1; j < n; ++j) {
        float s = 0;
        for (std::size_t i = k; i < m; ++i)
          s = s + A(i, k) * A(i, j);
        s = -s / A(k, k);
        for (std::size_t i = k; i < m; ++i)
          A(i, j) = s * A(i, k) + A(i, j);
      }
    }
    rdiag[k] = -nrm;
  }
  for (std::size_t k = 0; k < n; ++k) {
    float s = 0;
    for (std::size_t i = k; i < m; ++i)
      s = s + A(i, k) * b[i];
    s = -s / A(k, k);
    for (std::size_t i = k; i < m; ++i)
      b[i] = s * A(i, k) + b[i];
  }
  for (std::size_t k = n; k-- > 0;) {
    b[k] = b[k] / rdiag[k];
    for (std::size_t i = 0; i < k; ++i)
      b[i] = b[i] - b[k] * A(i, k);
  }
  return b;
}

}  // namespace tacitor::testing
