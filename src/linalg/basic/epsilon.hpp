#pragma once
// The one epsilon of the solvers.

namespace tacitor::linalg {

// Machine epsilon of float32 (2^-23), the spacing of floats just above 1. The solvers work in
// float32, so it is the natural unit for "negligible": a column scale or norm at or below it
// is not reflected, a rotation's length at or below it keeps the previous cosine and sine,
// and the SVD's cut-off for singular values and its convergence threshold are multiples of it.
inline constexpr float kEpsilon = 0x1p-23f;

}  // namespace tacitor::linalg
