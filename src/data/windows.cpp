#include "data/windows.hpp"

#include <new>

#include "common/checked_size.hpp"
#include "common/internal_failure.hpp"

namespace tacitor::data {
namespace {

// A plan too large for memory is an impossible allocation (std::bad_alloc), also where the
// vector itself would report a length error.
template <class T>
void reserve_or_bad_alloc(std::vector<T>& values, std::size_t count) {
  if (count > values.max_size()) {
    throw std::bad_alloc();
  }
  values.reserve(count);
}

}  // namespace

std::vector<std::size_t> window_starts(std::size_t length, std::size_t window_size,
                                       std::size_t stride) {
  if (stride == 0) {
    raise_internal_failure("attempt to calculate the remainder with a divisor of zero");
  }
  if (window_size > length) {
    raise_internal_failure("window_size (" + std::to_string(window_size) +
                           ") is larger than the series length (" + std::to_string(length) + ")");
  }
  const std::size_t span = length - window_size;
  const std::size_t multiples = span / stride;
  // The multiples 0, stride, ..., multiples * stride, plus span itself when it is not one of
  // them. Counted with checked arithmetic: span + 2 can exceed the size type only for a
  // series that could never be allocated.
  const std::size_t count = checked_add(multiples, span % stride == 0 ? 1 : 2);
  std::vector<std::size_t> starts;
  reserve_or_bad_alloc(starts, count);
  for (std::size_t k = 0; k <= multiples; ++k) {
    starts.push_back(k * stride);
  }
  if (starts.back() != span) {
    starts.push_back(span);
  }
  return starts;
}

Expected<WindowPlan, std::string> create_windows(const Array2& samples, std::size_t window_size,
                                                 std::size_t stride) {
  // The divisor is checked before anything else, so that stride 0 fails the same way whatever
  // the other arguments are.
  if (stride == 0) {
    raise_internal_failure("attempt to calculate the remainder with a divisor of zero");
  }
  if (window_size > samples.cols()) {
    return unexpected("window_size (" + std::to_string(window_size) +
                      ") is larger than the series length (" + std::to_string(samples.cols()) +
                      ")");
  }
  WindowPlan plan;
  plan.starts = window_starts(samples.cols(), window_size, stride);
  reserve_or_bad_alloc(plan.windows, plan.starts.size());
  for (const std::size_t start : plan.starts) {
    Window window;
    // An empty matrix may have no buffer at all; its windows have no elements to read, and no
    // pointer arithmetic is done on a null buffer.
    window.origin = samples.size() == 0
                        ? samples.data()
                        : samples.data() + static_cast<std::ptrdiff_t>(start) * samples.col_step();
    window.rows = samples.rows();
    window.cols = window_size;
    window.row_step = samples.row_step();
    window.col_step = samples.col_step();
    plan.windows.push_back(window);
  }
  return plan;
}

}  // namespace tacitor::data
