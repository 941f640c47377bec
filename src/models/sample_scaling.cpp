#include "models/sample_scaling.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "data/windows.hpp"

namespace tacitor::models {
namespace {

// float32's machine epsilon, as the SVD's cut-off uses it.
constexpr double kEpsilon = 0x1p-23;

// How far above the SVD's cut-off the variation must stay. A singular value k times the
// cut-off carries a relative error of about 1/k, so 2^10 keeps the coefficients to 0.1%;
// measured, the gain of a fit starts to fall once the variation's share is within a factor
// of 2^5 of the cut-off.
constexpr double kCutoffMargin = 0x1p10;

// Data whose share is at least half that of the same data at unit spread and zero mean lose
// at most one bit to their units, which the transform could not win back; they are never
// transformed, however many training rows there are.
constexpr double kUnitShareFraction = 0.5;

// The largest squared norm of a design matrix and its targets that is left alone. The SVD squares
// its singular values and adds two such squares ((y - z)(y + z) + (g - h)(g + h)), each at most
// four times the squared norm, so 2^16 below float32's limit of 2^128 leaves room to spare.
constexpr double kNormBudget = 0x1p112;

constexpr double kFloatMax = std::numeric_limits<float>::max();

// Rounds to float32, taking a finite value beyond the float32 range to the largest float of
// its sign; NaN and infinities pass unchanged.
float to_float(double value) noexcept {
  if (value > kFloatMax && value != std::numeric_limits<double>::infinity()) {
    return std::numeric_limits<float>::max();
  }
  if (value < -kFloatMax && value != -std::numeric_limits<double>::infinity()) {
    return std::numeric_limits<float>::lowest();
  }
  return static_cast<float>(value);
}

}  // namespace

SampleStatistics sample_statistics(const data::Array2& samples) {
  SampleStatistics statistics;
  const std::size_t count = samples.size();
  if (count == 0) {
    return statistics;
  }
  const float* values = samples.data();
  double sum = 0.0;
  double largest = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = values[i];
    sum = sum + x;
    largest = std::fmax(largest, std::fabs(x));
  }
  const double n = static_cast<double>(count);
  statistics.mean = sum / n;
  statistics.largest = largest;
  if (!std::isfinite(statistics.mean)) {
    return statistics;
  }
  double squares = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double deviation = static_cast<double>(values[i]) - statistics.mean;
    squares = squares + deviation * deviation;
  }
  statistics.spread = std::sqrt(squares / n);
  return statistics;
}

std::optional<SampleScaling> choose_scaling(const data::Array2& samples, std::size_t window_size,
                                            std::size_t training_rows) {
  if (samples.size() == 0 || window_size == 0 || training_rows == 0) {
    return std::nullopt;
  }
  const SampleStatistics statistics = sample_statistics(samples);
  const double mean = statistics.mean;
  const double spread = statistics.spread;
  if (!std::isfinite(mean)) {
    return std::nullopt;
  }
  const double m = static_cast<double>(training_rows);
  const double n = static_cast<double>(window_size);
  // The design matrix's squared norm is about m * (1 + (n - 1) * mean square): the ones
  // column and n - 1 feature columns. The variation contributes about m * spread^2 of it, so
  // `share` estimates how far below the largest singular value the variation's lie.
  const double mean_square = mean * mean + spread * spread;
  const double share = spread / std::sqrt(1.0 + (n - 1.0) * mean_square);
  const double cutoff = std::sqrt(m + n + 1.0) * 0.5 * kEpsilon;
  const bool loses_variation =
      share < kCutoffMargin * cutoff && share < kUnitShareFraction / std::sqrt(n);
  // An upper bound of the squared norm of every position's design matrix beside its target
  // column. It also keeps the sums of the solve, of the predictions and of the window
  // averages (at most n predictions each) far from overflow.
  const double largest = statistics.largest;
  const bool overflows = m * (1.0 + n * (largest * largest)) > kNormBudget;
  if (!loses_variation && !overflows) {
    return std::nullopt;
  }
  SampleScaling scaling;
  // The mean lies within the samples' range, but its rounding in double may step past it.
  scaling.offset = to_float(mean);
  // spread = f * 2^e with f in [0.5, 1): the scaled spread is f. A spread of 0 gives e = 0.
  int exponent = 0;
  (void)std::frexp(spread, &exponent);
  scaling.exponent = -exponent;
  // Constant zeros: the transform would be the identity.
  if (scaling.offset == 0.0f && scaling.exponent == 0) {
    return std::nullopt;
  }
  return scaling;
}

std::optional<SampleScaling> choose_plan_scaling(const data::Array2& samples,
                                                 std::size_t window_size, std::size_t stride) {
  if (stride == 0 || window_size == 0 || window_size > samples.cols()) {
    return std::nullopt;
  }
  const std::size_t windows = data::window_starts(samples.cols(), window_size, stride).size();
  return choose_scaling(samples, window_size, samples.rows() * windows);
}

data::Array2 scale_samples(const SampleScaling& scaling, const data::Array2& samples) {
  data::Array2 scaled(samples.rows(), samples.cols());
  const double offset = scaling.offset;
  const float* in = samples.data();
  float* out = scaled.data();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    out[i] = to_float(std::ldexp(static_cast<double>(in[i]) - offset, scaling.exponent));
  }
  return scaled;
}

void unscale_output(const SampleScaling& scaling, data::Array2& output) {
  const double offset = scaling.offset;
  float* values = output.data();
  for (std::size_t i = 0; i < output.size(); ++i) {
    values[i] = to_float(std::ldexp(static_cast<double>(values[i]), -scaling.exponent) + offset);
  }
}

}  // namespace tacitor::models
