// DenseMatrix: both storage orders, the checked accessors and the shape failures of every
// operation, and the arithmetic order of matmul and add_mut.

#include "linalg/basic/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "common/internal_failure.hpp"

namespace tacitor {
namespace {

std::string internal_failure_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  return "<no internal failure>";
}

DenseMatrix make(std::size_t nrows, std::size_t ncols, std::vector<float> values,
                 bool column_major) {
  return DenseMatrix::create(nrows, ncols, std::move(values), column_major).value();
}

TEST(DenseMatrix, StorageOrders) {
  const DenseMatrix rows = make(2, 3, {1, 2, 3, 4, 5, 6}, false);
  const DenseMatrix cols = make(2, 3, {1, 4, 2, 5, 3, 6}, true);
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(rows.get(r, c), float(r * 3 + c + 1));
      EXPECT_EQ(cols.get(r, c), rows.get(r, c));
    }
  }
  EXPECT_EQ(rows.to_column_major().values, cols.values);
  EXPECT_TRUE(DenseMatrix::ones(2, 2).column_major);
  const DenseMatrix filled = DenseMatrix::fill(3, 1, -0.5f);
  EXPECT_TRUE(filled.column_major);
  EXPECT_EQ(filled.values, std::vector<float>(3, -0.5f));
}

TEST(DenseMatrix, CreateRejectsAMismatchedValueCount) {
  const auto result = DenseMatrix::create(2, 3, std::vector<float>(5), false);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().err, FailedError::ParametersError);
  EXPECT_EQ(result.error().msg,
            "The specified shape: (cols: 3, rows: 2) does not align with data len: 5");
  // A shape whose element count overflows is just as mismatched.
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2 + 1;
  EXPECT_FALSE(DenseMatrix::create(huge, 2, {}, true).has_value());
  EXPECT_THROW((void)DenseMatrix::zeros(huge, 2), std::bad_alloc);
}

TEST(DenseMatrix, CheckedAccessorsAndSlices) {
  DenseMatrix m = make(2, 3, {1, 2, 3, 4, 5, 6}, true);
  EXPECT_EQ(internal_failure_text([&] { (void)m.get(2, 0); }),
            "Invalid index (2,0) for 2x3 matrix");
  EXPECT_EQ(internal_failure_text([&] { m.set(0, 3, 1.0f); }),
            "Invalid index (0,3) for 2x3 matrix");
  m.set(1, 2, 9.0f);
  EXPECT_EQ(m.values[5], 9.0f);

  const DenseMatrix copy = DenseMatrix::from_slice(m.slice(0, 2, 1, 3));
  EXPECT_FALSE(copy.column_major);
  EXPECT_EQ(copy.shape(), std::make_pair(std::size_t{2}, std::size_t{2}));
  EXPECT_EQ(copy.values, (std::vector<float>{3, 5, 4, 9}));
  EXPECT_EQ(DenseMatrix::from_slice(m.slice(0, 0, 0, 1)).values.size(), 0u);
  EXPECT_THROW((void)m.slice(0, 3, 0, 1), InternalFailure);
  EXPECT_THROW((void)m.slice(1, 0, 0, 1), InternalFailure);
}

TEST(DenseMatrix, HorizontalStack) {
  const DenseMatrix left = make(3, 2, {1, 2, 3, 4, 5, 6}, false);
  const DenseMatrix stacked = left.h_stack(DenseMatrix::ones(3, 1));
  EXPECT_TRUE(stacked.column_major);
  EXPECT_EQ(stacked.values, (std::vector<float>{1, 3, 5, 2, 4, 6, 1, 1, 1}));
  const DenseMatrix empty = DenseMatrix::zeros(3, 0, false).h_stack(left);
  EXPECT_EQ(empty.values, (std::vector<float>{1, 3, 5, 2, 4, 6}));
  EXPECT_EQ(internal_failure_text([&] { (void)left.h_stack(DenseMatrix::ones(2, 1)); }),
            "For horizontal stack number of rows in both arrays should match");
}

TEST(DenseMatrix, MatmulInEveryLayout) {
  const DenseMatrix a_rows = make(2, 3, {1, 2, 3, 4, 5, 6}, false);
  const DenseMatrix a_cols = a_rows.to_column_major();
  const DenseMatrix b_rows = make(3, 2, {1, -1, 0, 2, 3, 0.5f}, false);
  const DenseMatrix b_cols = b_rows.to_column_major();
  const std::vector<float> expected = {10, 4.5f, 22, 9};
  for (const DenseMatrix* a : {&a_rows, &a_cols}) {
    for (const DenseMatrix* b : {&b_rows, &b_cols}) {
      const DenseMatrix product = a->matmul(*b);
      EXPECT_FALSE(product.column_major);
      EXPECT_EQ(product.values, expected);
    }
  }
  const DenseMatrix no_inner = DenseMatrix::zeros(4, 0, false).matmul(DenseMatrix::zeros(0, 1));
  EXPECT_EQ(no_inner.values, std::vector<float>(4, 0.0f));
  EXPECT_EQ(internal_failure_text([&] { (void)a_rows.matmul(a_rows); }),
            "Can't multiply 2x3 and 2x3 matrices");
}

// Sums run from +0.0 in increasing index order: 1e8 + 1 - 1e8 is 0 in float32 when added
// left to right, 1 when the first two products are added last.
TEST(DenseMatrix, MatmulAddsInIndexOrderFromPositiveZero) {
  const DenseMatrix a = make(2, 3, {1e8f, 1, -1e8f, -0.0f, -0.0f, -0.0f}, false);
  const DenseMatrix b = make(3, 1, {1, 1, 1}, false);
  const DenseMatrix product = a.matmul(b);
  EXPECT_EQ(product.values[0], 0.0f);
  EXPECT_FALSE(std::signbit(product.values[1])) << "the sum starts at +0.0";
}

TEST(DenseMatrix, AddMut) {
  DenseMatrix target = make(2, 2, {1, 2, 3, 4}, false);
  target.add_mut(make(2, 2, {10, 30, 20, 40}, true));
  EXPECT_EQ(target.values, (std::vector<float>{11, 22, 33, 44}));
  EXPECT_EQ(internal_failure_text([&] { target.add_mut(DenseMatrix::ones(2, 1)); }),
            "A and B should have the same shape");
}

}  // namespace
}  // namespace tacitor
