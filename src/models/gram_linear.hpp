#pragma once
// The linear model set trained through the Gram matrix of the windows instead of one SVD per
// window position.
//
// One pass over the samples builds the (w + 1) x (w + 1) Gram matrix of the plan in double
// (linear/gram_matrix.hpp); every position's least-squares problem is a sub-block of it,
// solved by a small eigen-decomposition with the SVD route's rank rule
// (linear/gram_solve.hpp). The estimators, the change of units, the predictions and the
// reassembly are those of LRModel, so only the weights differ from the exact route: by the
// rounding of float32 against double, most where the fit is ill-conditioned. The cost is one
// pass of rows x w^2 / 2 products for all positions together, instead of an SVD of rows x w
// per position.
//
// Every sum runs in a fixed order, so the result is the same at every worker count and
// instruction set.

#include <cstddef>
#include <string>

#include "common/expected.hpp"
#include "data/array2.hpp"
#include "models/linear_regression.hpp"

namespace tacitor::models {

// The model set of `samples` planned with `window_size` and `stride`, with the errors of
// LRModel::train for plans and values it refuses.
Expected<LRModel, std::string> train_by_gram(const data::Array2& samples, std::size_t window_size,
                                             std::size_t stride);

}  // namespace tacitor::models
