#pragma once
// Changing the units of the samples before a least-squares fit, and back after it.
//
// Least squares with an intercept gives the same predictions, in exact arithmetic, on samples
// shifted by an offset c and multiplied by a power of two 2^k; only the rounding differs. In
// float32 the rounding is what goes wrong on data in physical units. The design matrix sets
// the raw values beside a column of ones, and the SVD counts every singular value below
// sigma_0 * sqrt(m + n + 1) / 2 * eps as zero (sigma_0 the largest one). When the variation
// of the data is small next to their offset (300 K +- 0.01) or next to the ones column
// (microvolts), its singular values fall under that cut-off and the fit returns little more
// than the mean; when the values are huge, the squares of the singular values overflow and the
// SVD does not converge. On such samples the fit runs on x' = (x - c) * 2^k instead, with
// spread near 1 and mean near 0, and the output is mapped back, y = y' * 2^-k + c.
//
// The decision is a fixed computation in double precision over the samples in row-major
// order on the calling thread, so neither the instruction set nor the worker count can change
// it. Samples that are not at risk are fitted exactly as they are, bit for bit.

#include <cstddef>
#include <optional>

#include "data/array2.hpp"

namespace tacitor::models {

// x' = (x - offset) * 2^exponent.
struct SampleScaling {
  float offset = 0.0f;
  int exponent = 0;

  friend bool operator==(const SampleScaling&, const SampleScaling&) = default;
};

// What the decision reads from the samples, every sum in double from +0.0 in row-major order.
struct SampleStatistics {
  double mean = 0.0;     // (sum of x) / N
  double spread = 0.0;   // sqrt((sum of (x - mean)^2) / N)
  double largest = 0.0;  // max |x|
};

// The statistics of `samples`; NaN or infinite values make the mean non-finite. No samples
// give zeros.
SampleStatistics sample_statistics(const data::Array2& samples);

// The scaling that the fits of `window_size` columns (features and the ones column) over
// `training_rows` rows need for `samples`, or nothing when the samples are safe as they are.
// Samples holding NaN or infinite values, and empty ones, are left alone: the pipeline refuses
// or fails on them with its own errors.
std::optional<SampleScaling> choose_scaling(const data::Array2& samples, std::size_t window_size,
                                            std::size_t training_rows);

// The scaling for fits of `samples` planned with `window_size` and `stride`. Only a plan the
// pipeline accepts has training rows to judge by; anything else goes on unscaled, to the error
// that the pipeline reports for it.
std::optional<SampleScaling> choose_plan_scaling(const data::Array2& samples,
                                                 std::size_t window_size, std::size_t stride);

// x' for every sample: f32((f64(x) - f64(offset)) * 2^exponent).
data::Array2 scale_samples(const SampleScaling& scaling, const data::Array2& samples);

// y for every output value, in place: f32(f64(y') * 2^-exponent + f64(offset)). NaN stays NaN
// (the positions no window covers), and a finite value beyond the float32 range becomes the
// largest float of its sign rather than an infinity.
void unscale_output(const SampleScaling& scaling, data::Array2& output);

}  // namespace tacitor::models
