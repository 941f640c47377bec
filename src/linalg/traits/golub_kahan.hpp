#pragma once
// GolubKahan: the working state of the singular value decomposition in svd_factor.cpp, whose
// phases are split over svd_factor.cpp (reduction to bidiagonal form and accumulation of the
// transformations) and svd_diagonalise.cpp (QR iteration, ordering and signs). Internal to
// those two files.
//
// The matrix is worked on column-major, so every column operation runs over contiguous
// memory. The loops are restructured for speed (independent dot products computed in one
// pass, several operations fused into one pass over a block of rows, the rotations of the
// left vectors deferred and applied a cache-sized block of rows at a time), but every single
// value still goes through exactly the same float operations in the same order as in the
// plain loops.

#include <cstddef>
#include <vector>

#include "linalg/basic/column_kernels.hpp"
#include "linalg/basic/matrix.hpp"
#include "linalg/traits/svd.hpp"

namespace tacitor::svd_detail {

class GolubKahan {
 public:
  explicit GolubKahan(ColumnMajorSpan a)
      : m_(a.rows),
        n_(a.cols),
        ld_(a.stride),
        a_(a.data),
        v_(DenseMatrix::zeros(n_, n_, true)),
        w_(n_, 0.0f),
        e_(n_, 0.0f),
        dots_(n_, 0.0f),
        next_dots_(n_, 0.0f),
        factors_(n_, 0.0f),
        row_u_(n_, 0.0f),
        u_negatives_(n_, 0) {}

  void bidiagonalise();
  void accumulate_right();
  void accumulate_left();
  void diagonalise();
  void sort_descending();
  void normalise_signs();

  DenseMatrix take_v() { return std::move(v_); }
  std::vector<float> take_sigma() { return std::move(w_); }

 private:
  float* col(std::size_t c) { return a_ + c * ld_; }
  float& a(std::size_t r, std::size_t c) { return a_[c * ld_ + r]; }
  float* vcol(std::size_t c) { return v_.values.data() + c * n_; }
  float& v(std::size_t r, std::size_t c) { return v_.values[c * n_ + r]; }

  void rotate_left(std::size_t p, std::size_t q, float c, float s);
  void flush_rotations(std::size_t* negatives = nullptr);

  std::size_t m_;
  std::size_t n_;
  std::size_t ld_;  // distance between the columns of a, at least m_
  float* a_;
  DenseMatrix v_;
  std::vector<float> w_;  // diagonal, becomes sigma
  std::vector<float> e_;  // superdiagonal; e_[0] stays 0 during diagonalisation
  std::vector<float> dots_;
  std::vector<float> next_dots_;
  std::vector<float> factors_;  // per column: the multiple of the pivot column added to it
  std::vector<float> row_u_;    // the normalised row of the row reflection, per column
  std::vector<std::size_t> u_negatives_;  // per column of a: entries < 0 after the rotations
  std::vector<std::size_t> order_;        // column j of the sorted factors was column order_[j]
  float anorm_ = 0.0f;
  std::vector<linalg::ColumnRotation> pending_;
};

}  // namespace tacitor::svd_detail
