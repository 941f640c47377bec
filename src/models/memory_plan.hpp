#pragma once
// The memory a denoising call needs, estimated from the shapes before anything is allocated.
//
// A call holds its sample copy throughout. Training then adds one fit's work storage per busy
// worker (the linear method's column-major design matrix and targets; the tree's row states
// and sorted row states) and, for trees, the presorted columns that all fits share. Denoising
// holds every position's predictions (n_windows * S values each) and the result, and, for
// trees, one training set per busy worker. The peak is the larger of the two phases. Measured
// peaks stay within a few percent above these sums (see README, "Memory").

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/available_memory.hpp"

namespace tacitor::models {

enum class Method { linear_regression, decision_tree };

struct MemoryPlan {
  std::uint64_t training_rows = 0;  // n_windows * S
  std::uint64_t fit_columns = 0;    // floats per training row in one fit's largest structure
  std::uint64_t samples = 0;        // the sample copy
  std::uint64_t training_shared = 0;
  std::uint64_t per_fit = 0;  // per busy worker while training
  std::uint64_t predictions = 0;
  std::uint64_t per_prediction = 0;  // per busy worker while denoising
  std::uint64_t result = 0;

  // The call's peak with `workers` busy workers (saturating at 2^64 - 1).
  std::uint64_t peak(std::size_t workers) const;
};

// The plan of a call on an S x L sample matrix. Shapes the pipeline refuses on its own
// (stride 0, window_size 0 or larger than L) plan the sample copy alone, so that the
// pipeline's own error still reaches the caller.
MemoryPlan plan_memory(Method method, std::uint64_t series, std::uint64_t length,
                       std::uint64_t window_size, std::uint64_t stride);

// The most workers, at most `pool_workers`, whose peak fits `budget`; 0 when one does not.
std::size_t workers_that_fit(const MemoryPlan& plan, std::uint64_t budget,
                             std::size_t pool_workers);

// "1.5 GiB" (one decimal) from 1 GiB up, "12.0 MiB" below.
std::string format_bytes(std::uint64_t bytes);

// The refusal: "one fit needs about ... (R rows × C columns) but ... are available; ..."
std::string refusal_text(const MemoryPlan& plan, const MemoryBudget& budget);

// The workers a call of this shape may run on with the process's pool and memory now; throws
// MemoryRefusal when one worker does not fit.
std::size_t preflight(Method method, std::uint64_t series, std::uint64_t length,
                      std::uint64_t window_size, std::uint64_t stride);

}  // namespace tacitor::models
