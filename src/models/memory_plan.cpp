#include "models/memory_plan.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "common/huge_page_allocator.hpp"
#include "common/memory_refusal.hpp"
#include "data/design_matrix.hpp"
#include "models/module_parameters.hpp"
#include "pool/global_pool.hpp"
#include "tree/row_partition.hpp"
#include "tree/tree_growth.hpp"

namespace tacitor::models {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kFloat = sizeof(float);
// What a call touches besides its arrays: the workers' stacks and allocator arenas and the
// small per-fit arrays. Measured peaks of small tree calls exceed the arrays by about 7 MiB.
constexpr std::uint64_t kCallOverhead = std::uint64_t{16} << 20;

// Saturating: an estimate beyond 2^64 bytes is simply "too much".
std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? kMax : sum;
}

std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? kMax : product;
}

// ceil(span / stride) + 1 windows, as the window plan makes them.
std::uint64_t window_count(std::uint64_t length, std::uint64_t window_size, std::uint64_t stride) {
  const std::uint64_t span = length - window_size;
  return span / stride + (span % stride != 0 ? 1 : 0) + 1;
}

// The solver's own arrays: V (w x w), a few vectors of w and the deferred rotations.
std::uint64_t solver_work(std::uint64_t w) {
  return add(mul(mul(w, w), 4 * kFloat), mul(w, 64));
}

// Row states (slot and target, 8 bytes), the side bits, and when the fit's budget allows them
// the targets in every feature column's sorted order and a narrow copy of the slots, as wide
// as the module's depth limit needs; otherwise the row states take whole huge pages. The
// targets themselves are read from the position's presorted column.
std::uint64_t tree_fit_work(std::uint64_t rows, std::uint64_t w) {
  const std::uint64_t states = mul(rows, sizeof(RowState));
  const std::uint64_t features = w - 1;
  if (features > 0 && rows <= kSortedStateBudget / 8 / features) {
    std::uint64_t bytes = add(states, rows / 8 + 8);
    bytes = add(bytes, mul(mul(rows, features), kFloat));
    return add(bytes, mul(rows, narrow_slot_bytes(module_tree_parameters().depth_limit)));
  }
  return add(huge_page_block_bytes(states), rows / 8 + 8);
}

// "134,088,704"
std::string with_separators(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      text += ',';
    }
    text += digits[i];
  }
  return text;
}

}  // namespace

std::uint64_t MemoryPlan::peak(std::size_t workers) const {
  const std::uint64_t training = add(training_shared, mul(workers, per_fit));
  const std::uint64_t denoising = add(add(predictions, result), mul(workers, per_prediction));
  const std::uint64_t overhead = training_rows > 0 ? kCallOverhead : 0;
  return add(add(samples, overhead), std::max(training, denoising));
}

MemoryPlan plan_memory(Method method, std::uint64_t series, std::uint64_t length,
                       std::uint64_t window_size, std::uint64_t stride) {
  MemoryPlan plan;
  plan.samples = mul(mul(series, length), kFloat);
  if (stride == 0 || window_size == 0 || window_size > length) {
    return plan;
  }
  const std::uint64_t w = window_size;
  const std::uint64_t rows = mul(window_count(length, w, stride), series);
  plan.training_rows = rows;
  plan.predictions = mul(mul(rows, w), kFloat);
  // The output, the coverage counts and the divisors.
  plan.result = add(mul(mul(series, length), kFloat), mul(length, 8 + kFloat));
  if (method == Method::linear_regression) {
    // w design columns (features and the ones column) and the targets.
    plan.fit_columns = w + 1;
    const std::uint64_t stride_rows =
        rows <= std::numeric_limits<std::size_t>::max() ? data::padded_column_stride(rows) : rows;
    plan.per_fit = add(add(mul(mul(stride_rows, w), kFloat), mul(rows, kFloat)), solver_work(w));
    return plan;
  }
  // Every window position's column sorted once: order, values and values in row order.
  plan.fit_columns = w;
  plan.training_shared = mul(mul(rows, w), 3 * kFloat);
  // Sorting one column needs its (value, row) pairs besides the column itself.
  plan.per_fit = std::max(tree_fit_work(rows, w), mul(rows, 2 * kFloat));
  // Predicting a position builds its training set: w - 1 features and the targets per row.
  plan.per_prediction = mul(mul(rows, w), kFloat);
  return plan;
}

std::size_t workers_that_fit(const MemoryPlan& plan, std::uint64_t budget,
                             std::size_t pool_workers) {
  std::size_t workers = std::max<std::size_t>(pool_workers, 1);
  while (workers > 0 && plan.peak(workers) > budget) {
    --workers;
  }
  return workers;
}

std::string format_bytes(std::uint64_t bytes) {
  constexpr double kMiB = 1024.0 * 1024.0;
  constexpr double kGiB = kMiB * 1024.0;
  const double value = static_cast<double>(bytes);
  char text[64];
  if (value >= kGiB) {
    std::snprintf(text, sizeof text, "%.1f GiB", value / kGiB);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", value / kMiB);
  }
  return text;
}

std::string refusal_text(const MemoryPlan& plan, const MemoryBudget& budget) {
  const std::string available =
      format_bytes(budget.bytes) + " are available" +
      (budget.capped ? std::string(" (") + kMemoryLimitVariable + ")" : std::string());
  if (plan.training_rows == 0) {
    return "the copy of the samples needs about " + format_bytes(plan.samples) + " but " +
           available + "; pass fewer series per call (tacitor_tools.denoise_dask)";
  }
  std::string text = "one fit needs about " + format_bytes(plan.peak(1)) + " (" +
                     with_separators(plan.training_rows) + " rows × " +
                     with_separators(plan.fit_columns) + " columns) but " + available;
  text +=
      "; use a larger stride, a smaller window, fewer series per call "
      "(tacitor_tools.denoise_dask), or fit on a sample";
  return text;
}

std::size_t preflight(Method method, std::uint64_t series, std::uint64_t length,
                      std::uint64_t window_size, std::uint64_t stride) {
  const MemoryPlan plan = plan_memory(method, series, length, window_size, stride);
  const MemoryBudget budget = memory_budget();
  const std::size_t workers =
      workers_that_fit(plan, budget.bytes, pool::global_pool().num_threads());
  if (workers == 0) {
    throw MemoryRefusal(refusal_text(plan, budget));
  }
  return workers;
}

}  // namespace tacitor::models
