// The decomposition behind svd.hpp: Householder bidiagonalisation and accumulation of the
// transformations here, the QR iteration and what follows in svd_diagonalise.cpp (see
// golub_kahan.hpp).

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <string>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "linalg/basic/column_kernels.hpp"
#include "linalg/basic/epsilon.hpp"
#include "linalg/traits/golub_kahan.hpp"
#include "linalg/traits/svd.hpp"

namespace tacitor {

namespace svd_detail {

using linalg::kEpsilon;

// Householder reduction to upper-bidiagonal form: w_ gets the diagonal, e_ the superdiagonal.
//
// Each step makes two passes over the rows below it: one for the dot products of its column
// with the columns to its right, and one that applies, block by block, the column reflection,
// the row reflection (which only needs row i, done first) and sums the next step's column
// scale from the final values. Row i itself is handled on its own before the pass.
void GolubKahan::bidiagonalise() {
  float g = 0.0f;
  float scale = 0.0f;
  // The next step's column scale, when this step's pass has summed it.
  bool next_scale_ready = false;
  float next_scale = 0.0f;
  for (std::size_t i = 0; i < n_; ++i) {
    throw_if_cancelled();
    e_[i] = scale * g;
    g = 0.0f;
    float s = 0.0f;
    scale = 0.0f;
    const float* column_factors = nullptr;
    float column_scale = 0.0f;
    if (i < m_) {
      float* ci = col(i);
      if (next_scale_ready) {
        scale = next_scale;
      } else {
        for (std::size_t k = i; k < m_; ++k) {
          scale = scale + std::fabs(ci[k]);
        }
      }
      if (std::fabs(scale) > kEpsilon) {
        // The divisions are independent; only the sum of squares is one chain.
        for (std::size_t k = i; k < m_; ++k) {
          ci[k] = ci[k] / scale;
        }
        for (std::size_t k = i; k < m_; ++k) {
          const float square = ci[k] * ci[k];
          s = s + square;
        }
        const float f = ci[i];
        g = -std::copysign(std::sqrt(s), f);
        const float fg = f * g;
        const float h = fg - s;
        ci[i] = f - g;
        // Column j's update reads only column i and itself, so all sums can come first.
        const std::size_t count = n_ - i - 1;
        linalg::column_dots(ci, col(i + 1), ld_, count, i, m_, dots_.data());
        for (std::size_t q = 0; q < count; ++q) {
          factors_[i + 1 + q] = dots_[q] / h;
        }
        for (std::size_t j = i + 1; j < n_; ++j) {
          const float product = factors_[j] * ci[i];
          a(i, j) = product + a(i, j);
        }
        ci[i] = scale * ci[i];
        column_factors = factors_.data();
        column_scale = scale;
      }
    }
    w_[i] = scale * g;
    g = 0.0f;
    s = 0.0f;
    scale = 0.0f;
    const float* row_u = nullptr;
    if (i < m_ && i + 1 != n_) {
      for (std::size_t k = i + 1; k < n_; ++k) {
        scale = scale + std::fabs(a(i, k));
      }
      if (std::fabs(scale) > kEpsilon) {
        for (std::size_t k = i + 1; k < n_; ++k) {
          a(i, k) = a(i, k) / scale;
          const float square = a(i, k) * a(i, k);
          s = s + square;
        }
        const float f = a(i, i + 1);
        g = -std::copysign(std::sqrt(s), f);
        const float fg = f * g;
        const float h = fg - s;
        a(i, i + 1) = f - g;
        for (std::size_t k = i + 1; k < n_; ++k) {
          e_[k] = a(i, k) / h;
          row_u_[k] = a(i, k);
        }
        row_u = row_u_.data();
      }
    }
    // Rows below i: t = sum_k a[j, k] * a[i, k], then a[j, k] = t * e[k] + a[j, k], after
    // the column reflection of the same rows.
    next_scale_ready = false;
    if (column_factors != nullptr || row_u != nullptr) {
      float* next_sum = nullptr;
      if (i + 1 < n_) {
        next_scale = 0.0f;
        next_sum = &next_scale;
      }
      linalg::householder_rows(a_, ld_, i, n_, std::min(i + 1, m_), m_, column_factors,
                               column_scale, row_u, e_.data(), next_sum);
      next_scale_ready = next_sum != nullptr;
    }
    if (row_u != nullptr) {
      for (std::size_t k = i + 1; k < n_; ++k) {
        a(i, k) = scale * a(i, k);
      }
    }
    anorm_ = std::fmax(anorm_, std::fabs(w_[i]) + std::fabs(e_[i]));
  }
}

// Builds V from the row reflections stored above the superdiagonal.
void GolubKahan::accumulate_right() {
  // The g left by the bidiagonalisation is always 0 (its last row step is skipped), and the
  // i = n-1 step does not read it.
  float g = 0.0f;
  std::size_t l = n_;
  for (std::size_t i = n_; i-- > 0;) {
    if (i + 1 < n_) {
      if (g != 0.0f) {
        for (std::size_t j = l; j < n_; ++j) {
          v(j, i) = (a(i, j) / a(i, l)) / g;
        }
        for (std::size_t j = l; j < n_; ++j) {
          float t = 0.0f;
          for (std::size_t k = l; k < n_; ++k) {
            const float product = a(i, k) * v(k, j);
            t = t + product;
          }
          for (std::size_t k = l; k < n_; ++k) {
            const float product = t * v(k, i);
            v(k, j) = product + v(k, j);
          }
        }
      }
      for (std::size_t j = l; j < n_; ++j) {
        v(i, j) = 0.0f;
        v(j, i) = 0.0f;
      }
    }
    v(i, i) = 1.0f;
    g = e_[i];
    l = i;
  }
}

// Turns a into U from the column reflections stored on and below the diagonal.
//
// Step i changes only columns i and up, in rows i and below, while step i - 1 needs the dot
// products of column i - 1 with those columns over the same rows: so each step's single pass
// over the rows also sums the next step's dot products from the values it has just written.
void GolubKahan::accumulate_left() {
  bool dots_ready = false;  // dots_ holds this step's sums, made by the previous step's pass
  for (std::size_t i = std::min(m_, n_); i-- > 0;) {
    throw_if_cancelled();
    const std::size_t l = i + 1;
    float g = w_[i];
    for (std::size_t j = l; j < n_; ++j) {
      a(i, j) = 0.0f;
    }
    float* ci = col(i);
    const bool reflect = std::fabs(g) > kEpsilon;
    if (reflect) {
      g = 1.0f / g;
      const std::size_t count = n_ - l;
      if (!dots_ready) {
        linalg::column_dots(ci, col(l), ld_, count, l, m_, dots_.data());
      }
      const float aii = ci[i];
      for (std::size_t q = 0; q < count; ++q) {
        factors_[l + q] = (dots_[q] / aii) * g;
      }
      for (std::size_t j = l; j < n_; ++j) {
        const float product = factors_[j] * ci[i];
        a(i, j) = product + a(i, j);
      }
      ci[i] = ci[i] * g;
    } else {
      ci[i] = 0.0f;
    }
    ci[i] = ci[i] + 1.0f;
    // The next step's sums over rows i .. m-1 start with row i, now final.
    float* next = nullptr;
    if (i > 0 && std::fabs(w_[i - 1]) > kEpsilon) {
      next = next_dots_.data();
      const float* previous = col(i - 1);
      for (std::size_t j = i; j < n_; ++j) {
        const float product = previous[i] * a(i, j);
        next[j - i] = 0.0f + product;
      }
    }
    linalg::left_accumulation_rows(a_, ld_, i, n_, l, m_, reflect ? factors_.data() : nullptr, g,
                                   next);
    std::swap(dots_, next_dots_);
    dots_ready = next != nullptr;
  }
}

}  // namespace svd_detail

RightFactors svd_factor_in_place(ColumnMajorSpan a) {
  if (a.stride < a.rows) {
    raise_internal_failure("column stride " + std::to_string(a.stride) + " is shorter than the " +
                           std::to_string(a.rows) + " rows of the matrix");
  }
  svd_detail::GolubKahan decomposition(a);
  decomposition.bidiagonalise();
  decomposition.accumulate_right();
  decomposition.accumulate_left();
  decomposition.diagonalise();
  decomposition.sort_descending();
  decomposition.normalise_signs();
  return {decomposition.take_v(), decomposition.take_sigma()};
}

SVDFactors svd_factor(DenseMatrix a) {
  if (!a.column_major) {
    a = a.to_column_major();
  }
  RightFactors right = svd_factor_in_place({a.values.data(), a.nrows, a.ncols, a.nrows});
  SVDFactors factors;
  factors.v = std::move(right.v);
  factors.sigma = std::move(right.sigma);
  factors.u = std::move(a);
  return factors;
}

}  // namespace tacitor
