#pragma once
// Refusing samples that hold NaN or infinite values.
//
// A single NaN or infinity ruins a whole batch: every estimator trains on every series, so
// the tree spreads it through every output and the least-squares solver never converges.
// Such input is a caller's mistake that the caller can fix, so it is an error text (raised
// as ValueError) that says how many values are affected and where the first one is.

#include <optional>
#include <string>

#include "data/array2.hpp"

namespace tacitor::data {

// Nothing when every value of `samples` is finite; otherwise the error text naming the
// count and the first non-finite value in row-major order (series, then time position):
// "samples holds 3 NaN or infinite values (the first at series 4, position 17); fill or drop
// them before denoising", and for one value
// "samples holds 1 NaN or infinite value (at series 4, position 17); fill or drop it before
// denoising".
std::optional<std::string> non_finite_error(const Array2& samples);

}  // namespace tacitor::data
