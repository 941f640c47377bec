#pragma once
// parallel_try_map: an ordered, fallible parallel map over [0, n).
//
// f(i) returns Expected<T, E>. The result is the n values in index order, or one error that f
// produced. f runs on the pool's workers, several calls at a time (n < 2: on the calling
// thread), so it may only read shared data. An exception thrown by f reaches the caller after
// every task of the call has finished.
//
// The range is split adaptively: a task halves itself while its split budget lasts (about
// log2(T) times for T workers) and a task that another worker stole gets a fresh budget, so
// idle workers find work even when items take uneven time. Every leaf collects its values in
// its own vector; the vectors are concatenated once at the end, so the success path takes no
// lock.
//
// A cap installed by the calling thread (concurrency_limit.hpp) below the worker count admits
// only that many items at a time; the split is unchanged, so are the results.
//
// Cancellation (common/cancellation.hpp) is checked before every task and every item: once it is
// requested no new item starts, running items stop at their own checks, and `Cancelled`
// reaches the caller like any exception of f. Shared per call:
// - `stop`: set once any item fails; read and written relaxed, so a task may compute one item
//   more than needed before it notices.
// - the error slot, guarded by a flag that is only ever tried, never waited for: a failing
//   item that finds the flag taken discards its error, which is sound because the holder
//   stores its own error whenever the slot is still empty.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/cancellation.hpp"
#include "common/expected.hpp"
#include "common/internal_failure.hpp"
#include "pool/concurrency_limit.hpp"
#include "pool/global_pool.hpp"
#include "pool/join.hpp"
#include "pool/thread_pool.hpp"

namespace tacitor::pool {

namespace detail {

template <class F>
class TryMap {
 public:
  using Item = std::invoke_result_t<F&, std::size_t>;
  using T = typename Item::value_type;
  using E = typename Item::error_type;
  using Chunks = std::list<std::vector<T>>;

  // `admission`: null, or the gate every item passes before it runs.
  TryMap(ThreadPool* pool, std::size_t workers, F& f, Admission* admission)
      : pool_(pool), workers_(workers), f_(f), admission_(admission) {}

  Chunks run(std::size_t begin, std::size_t end, std::size_t budget, bool stolen) {
    if (stop_.load(std::memory_order_relaxed)) {
      return {};
    }
    throw_if_cancelled();
    const std::size_t half = (end - begin) / 2;
    if (half >= 1 && try_split(budget, stolen)) {
      const std::size_t middle = begin + half;
      auto [left, right] = join_context(
          *pool_, [&, budget](bool s) { return run(begin, middle, budget, s); },
          [&, budget](bool s) { return run(middle, end, budget, s); });
      left.splice(left.end(), right);
      return std::move(left);
    }
    Chunks chunks;
    chunks.push_back(run_items(begin, end));
    return chunks;
  }

  std::optional<E> take_error() { return std::move(error_); }

 private:
  bool try_split(std::size_t& budget, bool stolen) const {
    if (stolen) {
      budget = std::max(workers_, budget / 2);
      return true;
    }
    if (budget > 0) {
      budget /= 2;
      return true;
    }
    return false;
  }

  std::vector<T> run_items(std::size_t begin, std::size_t end) {
    std::vector<T> values;
    values.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      const Admission::Ticket ticket(admission_);
      throw_if_cancelled();
      Item item = f_(i);
      if (!item) {
        offer_error(std::move(item).error());
        stop_.store(true, std::memory_order_relaxed);
        break;
      }
      if (stop_.load(std::memory_order_relaxed)) {
        break;
      }
      values.push_back(std::move(item).value());
    }
    return values;
  }

  void offer_error(E&& error) {
    if (error_locked_.exchange(true, std::memory_order_acquire)) {
      return;  // another failing item is storing its error
    }
    struct Unlock {
      std::atomic<bool>& flag;
      ~Unlock() { flag.store(false, std::memory_order_release); }
    } unlock{error_locked_};
    if (!error_) {
      error_.emplace(std::move(error));
    }
  }

  ThreadPool* pool_;
  std::size_t workers_;
  F& f_;
  Admission* admission_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> error_locked_{false};
  std::optional<E> error_;  // written only by the holder of error_locked_
};

}  // namespace detail

// The map on `pool`; the pool's worker count sets the split budget, and the calling thread's
// concurrency limit, when below it, how many items run at once.
template <class F>
auto parallel_try_map(ThreadPool& pool, std::size_t n, F&& f) {
  using Map = detail::TryMap<std::remove_reference_t<F>>;
  using Result = Expected<std::vector<typename Map::T>, typename Map::E>;
  const std::size_t limit = concurrency_limit();
  std::optional<Admission> admission;
  if (limit > 0 && limit < pool.num_threads()) {
    admission.emplace(limit);
  }
  Map map(&pool, pool.num_threads(), f, admission ? &*admission : nullptr);
  typename Map::Chunks chunks = map.run(0, n, pool.num_threads(), false);
  if (std::optional<typename Map::E> error = map.take_error()) {
    return Result(unexpected(std::move(*error)));
  }
  std::vector<typename Map::T> values;
  values.reserve(n);
  for (std::vector<typename Map::T>& chunk : chunks) {
    std::move(chunk.begin(), chunk.end(), std::back_inserter(values));
  }
  if (values.size() != n) {
    raise_internal_failure("parallel_try_map collected " + std::to_string(values.size()) +
                           " values for " + std::to_string(n) + " items");
  }
  return Result(std::move(values));
}

// The map on the process-wide pool (created here if needed, even for n = 0 or 1).
template <class F>
auto parallel_try_map(std::size_t n, F&& f) {
  return parallel_try_map(global_pool(), n, std::forward<F>(f));
}

}  // namespace tacitor::pool
