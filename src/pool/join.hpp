#pragma once
// join_context: run two closures, possibly in parallel, and return both results.
//
// Each closure is called with `stolen`: true when it runs on a thread other than the one that
// called join_context. On a worker of `pool`, `b` is pushed onto the worker's own deque, `a`
// runs inline, and then `b` is popped back and run inline unless another worker stole it, in
// which case this worker runs other jobs until the thief has finished `b`. From any other
// thread the whole join becomes one job on the injection queue and the caller blocks until a
// worker has completed it (see outside_wait.hpp for how the wait can be interrupted).
//
// Exceptions: both closures always complete before join_context returns or throws, so neither
// can outlive the stack frame it references. If `a` throws, its exception wins; otherwise an
// exception of `b` is rethrown. The exception object itself crosses threads unchanged
// (InternalFailure stays InternalFailure, std::bad_alloc stays std::bad_alloc).

#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/cancellation.hpp"
#include "pool/job.hpp"
#include "pool/outside_wait.hpp"
#include "pool/thread_pool.hpp"

namespace tacitor::pool {

namespace detail {

template <class A, class B>
using JoinResult = std::pair<std::invoke_result_t<A&, bool>, std::invoke_result_t<B&, bool>>;

// The join on worker `index` of `pool`. `migrated`: the join itself was handed over by
// another thread, so both closures run away from their original caller.
template <class A, class B>
JoinResult<A, B> join_on_worker(ThreadPool& pool, std::size_t index, A& a, B& b, bool migrated) {
  using ResultA = std::invoke_result_t<A&, bool>;
  WorkerLatch latch_b(pool, index);
  StackJob<B, WorkerLatch> job_b(b, latch_b);
  const JobRef ref_b = job_b.as_job_ref();
  pool.push_local(index, ref_b);

  std::optional<ResultA> result_a;
  std::exception_ptr error_a;
  try {
    result_a.emplace(a(migrated));
  } catch (...) {
    error_a = std::current_exception();
  }

  // Every job pushed while `a` ran was taken back by its own join, so b is on top of the
  // deque unless it was stolen. Completing b is required even when a failed.
  while (!latch_b.probe()) {
    const std::optional<JobRef> top = pool.pop_local(index);
    if (!top) {
      pool.work_until(index, latch_b.flag());
      break;
    }
    if (*top == ref_b) {
      job_b.run_inline(migrated);
      break;
    }
    top->run();
  }

  if (error_a) {
    std::rethrow_exception(error_a);
  }
  auto result_b = job_b.take_result();
  return {std::move(*result_a), std::move(result_b)};
}

}  // namespace detail

template <class A, class B>
detail::JoinResult<A, B> join_context(ThreadPool& pool, A&& a, B&& b) {
  if (const std::optional<std::size_t> index = pool.current_worker_index()) {
    return detail::join_on_worker(pool, *index, a, b, false);
  }
  // An outside thread: hand the join to the workers and wait. The latch lives on this frame,
  // not per thread, because a wait hook may start another join on this thread while the
  // first one waits.
  LockLatch latch;
  auto whole_join = [&pool, &a, &b](bool) {
    return detail::join_on_worker(pool, *pool.current_worker_index(), a, b, true);
  };
  StackJob<decltype(whole_join), LockLatch> job(whole_join, latch);
  pool.inject(job.as_job_ref());
  if (wait_outside_pool(latch)) {
    throw Cancelled();
  }
  return job.take_result();
}

}  // namespace tacitor::pool
