#pragma once
// parallel_try_map: an ordered, fallible parallel map over [0, n).
//
// INTERIM serial version so that the pipeline can be built; the worker-pool implementation
// replaces the body with the same signature.

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/expected.hpp"

namespace tacitor::pool {

// f(i) returns Expected<T, E>. Returns the n values in index order, or one error of f.
template <class F>
auto parallel_try_map(std::size_t n, F&& f) {
  using Item = std::invoke_result_t<F&, std::size_t>;
  using T = typename Item::value_type;
  using E = typename Item::error_type;
  std::vector<T> values;
  values.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    Item item = f(i);
    if (!item) {
      return Expected<std::vector<T>, E>(unexpected(std::move(item).error()));
    }
    values.push_back(std::move(item).value());
  }
  return Expected<std::vector<T>, E>(std::move(values));
}

}  // namespace tacitor::pool
