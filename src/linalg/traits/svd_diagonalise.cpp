// Phases of the decomposition after the reduction: implicit-shift QR iteration on the
// bidiagonal, ordering of the singular values and sign normalisation (see golub_kahan.hpp).

#include <cmath>
#include <memory>
#include <numeric>
#include <utility>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "linalg/basic/epsilon.hpp"
#include "linalg/basic/hypotenuse.hpp"
#include "linalg/traits/golub_kahan.hpp"

namespace tacitor::svd_detail {

namespace {

using linalg::kEpsilon;
// Each singular value gets this many split tests, so at most one fewer QR sweep.
constexpr int kMaxIterations = 30;
// Deferred left-vector rotations are applied once this many have collected; each flush is
// one pass over the m x n matrix.
constexpr std::size_t kRotationFlush = 16384;

}  // namespace

// Nothing in the QR iteration reads a, so its rotations are collected and applied later a
// block of rows at a time; every element still sees them in the same order.
void GolubKahan::rotate_left(std::size_t p, std::size_t q, float c, float s) {
  pending_.push_back({p, q, c, s});
  if (pending_.size() >= kRotationFlush) {
    flush_rotations();
  }
}

void GolubKahan::flush_rotations(std::size_t* negatives) {
  linalg::apply_rotations(a_, m_, ld_, n_, pending_.data(), pending_.size(), negatives);
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
      throw_if_cancelled();
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
  // The last flush leaves a final, so it also counts the negative entries of every column
  // for the sign normalisation.
  flush_rotations(u_negatives_.data());
}

// Shell sort of w_ into descending order; the columns of V follow their values at once, the
// columns of a later, in the same pass as their sign changes. The comparison is strict, so
// equal values and NaN never move past each other.
void GolubKahan::sort_descending() {
  order_.resize(n_);
  std::iota(order_.begin(), order_.end(), std::size_t{0});
  std::size_t inc = 1;
  do {
    inc = 3 * inc + 1;
  } while (inc <= n_);
  do {
    inc /= 3;
    for (std::size_t i = inc; i < n_; ++i) {
      const float sw = w_[i];
      const std::size_t saved = order_[i];
      std::size_t j = i;
      while (w_[j - inc] < sw) {
        w_[j] = w_[j - inc];
        order_[j] = order_[j - inc];
        j -= inc;
        if (j < inc) {
          break;
        }
      }
      w_[j] = sw;
      order_[j] = saved;
    }
  } while (inc > 1);

  DenseMatrix sorted_v = DenseMatrix::zeros(n_, n_, true);
  for (std::size_t j = 0; j < n_; ++j) {
    std::copy(vcol(order_[j]), vcol(order_[j]) + n_, sorted_v.values.data() + j * n_);
  }
  v_ = std::move(sorted_v);
}

// Flips every (u, v) pair whose entries are mostly negative. A column's count of negative
// entries does not depend on where the sort puts it, so the counts made in the last rotation
// pass serve, and a's columns are moved into sorted order and flipped in one pass.
void GolubKahan::normalise_signs() {
  const double half = static_cast<double>(m_ + n_) * 0.5;
  std::unique_ptr<bool[]> flip(new bool[n_]);
  for (std::size_t k = 0; k < n_; ++k) {
    float* vk = vcol(k);
    // An integer count converts to the same double as a count kept in double.
    std::size_t negatives = u_negatives_[order_[k]];
    for (std::size_t j = 0; j < n_; ++j) {
      negatives += vk[j] < 0.0f ? 1 : 0;
    }
    flip[k] = static_cast<double>(negatives) > half;
    if (flip[k]) {
      for (std::size_t j = 0; j < n_; ++j) {
        vk[j] = -vk[j];
      }
    }
  }
  linalg::permute_columns(a_, m_, ld_, order_.data(), flip.get(), n_);
}

}  // namespace tacitor::svd_detail
