// The decomposition behind svd.hpp: Householder bidiagonalisation, accumulation of the
// transformations, implicit-shift QR on the bidiagonal, ordering and sign normalisation.
//
// The matrix is worked on column-major, so every column operation runs over contiguous
// memory. Several loops are restructured for speed (independent dot products computed in
// one pass, row updates done a block of rows at a time, the rotations of the left vectors
// deferred and applied a cache-sized block of rows at a time), but every single value still
// goes through exactly the same float operations in the same order as in the plain loops.

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/internal_failure.hpp"
#include "linalg/basic/column_kernels.hpp"
#include "linalg/basic/hypotenuse.hpp"
#include "linalg/traits/svd.hpp"

namespace tacitor {

namespace {

using linalg::ColumnRotation;

constexpr float kEpsilon = 0x1p-23f;
// Each singular value gets this many split tests, so at most one fewer QR sweep.
constexpr int kMaxIterations = 30;
// Deferred left-vector rotations are applied once this many have collected; each flush is
// one pass over the m x n matrix.
constexpr std::size_t kRotationFlush = 16384;

class GolubKahan {
 public:
  explicit GolubKahan(DenseMatrix& a)
      : m_(a.nrows),
        n_(a.ncols),
        a_(a.values.data()),
        v_(DenseMatrix::zeros(n_, n_, true)),
        w_(n_, 0.0f),
        e_(n_, 0.0f),
        dots_(n_, 0.0f) {}

  void bidiagonalise();
  void accumulate_right();
  void accumulate_left();
  void diagonalise();
  void sort_descending();
  void normalise_signs();

  DenseMatrix take_v() { return std::move(v_); }
  std::vector<float> take_sigma() { return std::move(w_); }

 private:
  float* col(std::size_t c) { return a_ + c * m_; }
  float& a(std::size_t r, std::size_t c) { return a_[c * m_ + r]; }
  float* vcol(std::size_t c) { return v_.values.data() + c * n_; }
  float& v(std::size_t r, std::size_t c) { return v_.values[c * n_ + r]; }

  void rotate_left(std::size_t p, std::size_t q, float c, float s);
  void flush_rotations();

  std::size_t m_;
  std::size_t n_;
  float* a_;
  DenseMatrix v_;
  std::vector<float> w_;  // diagonal, becomes sigma
  std::vector<float> e_;  // superdiagonal; e_[0] stays 0 during diagonalisation
  std::vector<float> dots_;
  float anorm_ = 0.0f;
  std::vector<ColumnRotation> pending_;
};

// Householder reduction to upper-bidiagonal form: w_ gets the diagonal, e_ the superdiagonal.
void GolubKahan::bidiagonalise() {
  float g = 0.0f;
  float scale = 0.0f;
  for (std::size_t i = 0; i < n_; ++i) {
    e_[i] = scale * g;
    g = 0.0f;
    float s = 0.0f;
    scale = 0.0f;
    if (i < m_) {
      float* ci = col(i);
      for (std::size_t k = i; k < m_; ++k) {
        scale = scale + std::fabs(ci[k]);
      }
      if (std::fabs(scale) > kEpsilon) {
        for (std::size_t k = i; k < m_; ++k) {
          ci[k] = ci[k] / scale;
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
        linalg::column_dots(ci, a_ + (i + 1) * m_, m_, count, i, m_, dots_.data());
        for (std::size_t q = 0; q < count; ++q) {
          linalg::scaled_add(dots_[q] / h, ci, col(i + 1 + q), i, m_);
        }
        for (std::size_t k = i; k < m_; ++k) {
          ci[k] = scale * ci[k];
        }
      }
    }
    w_[i] = scale * g;
    g = 0.0f;
    s = 0.0f;
    scale = 0.0f;
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
        }
        // Rows below i: t = sum_k a[j, k] * a[i, k], then a[j, k] = t * e[k] + a[j, k].
        for (std::size_t k = i + 1; k < n_; ++k) {
          dots_[k] = a(i, k);
        }
        linalg::rank_one_row_update(a_, m_, i + 1, n_, dots_.data(), e_.data(), i + 1, m_);
        for (std::size_t k = i + 1; k < n_; ++k) {
          a(i, k) = scale * a(i, k);
        }
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
void GolubKahan::accumulate_left() {
  for (std::size_t i = std::min(m_, n_); i-- > 0;) {
    const std::size_t l = i + 1;
    float g = w_[i];
    for (std::size_t j = l; j < n_; ++j) {
      a(i, j) = 0.0f;
    }
    float* ci = col(i);
    if (std::fabs(g) > kEpsilon) {
      g = 1.0f / g;
      const std::size_t count = n_ - l;
      linalg::column_dots(ci, a_ + l * m_, m_, count, l, m_, dots_.data());
      const float aii = ci[i];
      for (std::size_t q = 0; q < count; ++q) {
        const float f = (dots_[q] / aii) * g;
        linalg::scaled_add(f, ci, col(l + q), i, m_);
      }
      for (std::size_t j = i; j < m_; ++j) {
        ci[j] = ci[j] * g;
      }
    } else {
      std::fill(ci + i, ci + m_, 0.0f);
    }
    ci[i] = ci[i] + 1.0f;
  }
}

// Nothing in the QR iteration reads a, so its rotations are collected and applied later a
// block of rows at a time; every element still sees them in the same order.
void GolubKahan::rotate_left(std::size_t p, std::size_t q, float c, float s) {
  pending_.push_back({p, q, c, s});
  if (pending_.size() >= kRotationFlush) {
    flush_rotations();
  }
}

void GolubKahan::flush_rotations() {
  linalg::apply_rotations(a_, m_, n_, pending_.data(), pending_.size());
  pending_.clear();
}

// Implicit-shift QR iteration on the bidiagonal until every superdiagonal element is
// negligible; w_ then holds the singular values (made non-negative).
void GolubKahan::diagonalise() {
  const float thresh = kEpsilon * anorm_;
  std::size_t nm = 0;
  for (std::size_t k = n_; k-- > 0;) {
    for (int its = 0;; ++its) {
      // Find the start l of the unreduced block that ends at k.
      bool flag = true;
      std::size_t l = k;
      while (l != 0) {
        if (std::fabs(e_[l]) <= thresh) {
          flag = false;
          break;
        }
        nm = l - 1;
        if (std::fabs(w_[nm]) <= thresh) {
          break;
        }
        --l;
      }
      if (flag) {
        // w[nm] is negligible: chase e[l] out with rotations against row nm.
        float c = 0.0f;
        float s = 1.0f;
        for (std::size_t i = l; i <= k; ++i) {
          const float f = s * e_[i];
          e_[i] = c * e_[i];
          if (std::fabs(f) <= thresh) {
            break;
          }
          const float g = w_[i];
          float h = linalg::hypotenuse(f, g);
          w_[i] = h;
          h = 1.0f / h;
          c = g * h;
          s = -(f * h);
          rotate_left(nm, i, c, s);
        }
      }
      float z = w_[k];
      if (l == k) {
        if (z < 0.0f) {
          w_[k] = -z;
          float* vk = vcol(k);
          for (std::size_t r = 0; r < n_; ++r) {
            vk[r] = -vk[r];
          }
        }
        break;
      }
      if (its == kMaxIterations - 1) {
        raise_internal_failure("no convergence in 30 iterations");
      }
      // Shift from the trailing 2 x 2 block.
      float x = w_[l];
      nm = k - 1;
      float y = w_[nm];
      float g = e_[nm];
      float h = e_[k];
      const float two_h = 2.0f * h;
      float f = ((y - z) * (y + z) + (g - h) * (g + h)) / (y * two_h);
      g = linalg::hypotenuse(f, 1.0f);
      const float x_sq = (x - z) * (x + z);
      const float tail = h * ((y / (f + std::copysign(g, f))) - h);
      f = (x_sq + tail) / x;
      // One QR sweep over the block l .. k.
      float c = 1.0f;
      float s = 1.0f;
      for (std::size_t j = l; j <= nm; ++j) {
        const std::size_t i = j + 1;
        g = e_[i];
        y = w_[i];
        h = s * g;
        g = c * g;
        z = linalg::hypotenuse(f, h);
        e_[j] = z;
        c = f / z;
        s = h / z;
        const float xc = x * c;
        const float gs = g * s;
        f = xc + gs;
        const float gc = g * c;
        const float xs = x * s;
        g = gc - xs;
        h = y * s;
        y = y * c;
        linalg::rotate_columns(vcol(j), vcol(i), n_, c, s);
        z = linalg::hypotenuse(f, h);
        w_[j] = z;
        if (std::fabs(z) > kEpsilon) {
          z = 1.0f / z;
          c = f * z;
          s = h * z;
        }
        const float cg = c * g;
        const float sy = s * y;
        f = cg + sy;
        const float cy = c * y;
        const float sg = s * g;
        x = cy - sg;
        rotate_left(j, i, c, s);
      }
      e_[l] = 0.0f;
      e_[k] = f;
      w_[k] = x;
    }
  }
  flush_rotations();
}

// Shell sort of w_ into descending order; the columns of a and V follow their values. The
// comparison is strict, so equal values and NaN never move past each other.
void GolubKahan::sort_descending() {
  std::vector<std::size_t> order(n_);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::size_t inc = 1;
  do {
    inc = 3 * inc + 1;
  } while (inc <= n_);
  do {
    inc /= 3;
    for (std::size_t i = inc; i < n_; ++i) {
      const float sw = w_[i];
      const std::size_t saved = order[i];
      std::size_t j = i;
      while (w_[j - inc] < sw) {
        w_[j] = w_[j - inc];
        order[j] = order[j - inc];
        j -= inc;
        if (j < inc) {
          break;
        }
      }
      w_[j] = sw;
      order[j] = saved;
    }
  } while (inc > 1);

  linalg::permute_columns(a_, m_, order.data(), n_);
  DenseMatrix sorted_v = DenseMatrix::zeros(n_, n_, true);
  for (std::size_t j = 0; j < n_; ++j) {
    std::copy(vcol(order[j]), vcol(order[j]) + n_, sorted_v.values.data() + j * n_);
  }
  v_ = std::move(sorted_v);
}

// Flips every (u, v) pair whose entries are mostly negative.
void GolubKahan::normalise_signs() {
  const double half = static_cast<double>(m_ + n_) * 0.5;
  for (std::size_t k = 0; k < n_; ++k) {
    float* uk = col(k);
    float* vk = vcol(k);
    // An integer count converts to the same double as a count kept in double.
    std::size_t negatives = 0;
    for (std::size_t i = 0; i < m_; ++i) {
      negatives += uk[i] < 0.0f ? 1 : 0;
    }
    for (std::size_t j = 0; j < n_; ++j) {
      negatives += vk[j] < 0.0f ? 1 : 0;
    }
    if (static_cast<double>(negatives) > half) {
      for (std::size_t i = 0; i < m_; ++i) {
        uk[i] = -uk[i];
      }
      for (std::size_t j = 0; j < n_; ++j) {
        vk[j] = -vk[j];
      }
    }
  }
}

}  // namespace

SVDFactors svd_factor(DenseMatrix a) {
  if (!a.column_major) {
    a = a.to_column_major();
  }
  GolubKahan decomposition(a);
  decomposition.bidiagonalise();
  decomposition.accumulate_right();
  decomposition.accumulate_left();
  decomposition.diagonalise();
  decomposition.sort_descending();
  decomposition.normalise_signs();
  SVDFactors factors;
  factors.v = decomposition.take_v();
  factors.sigma = decomposition.take_sigma();
  factors.u = std::move(a);
  return factors;
}

}  // namespace tacitor
