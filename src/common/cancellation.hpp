#pragma once
// Stopping a running parallel operation early.
//
// The calling thread requests cancellation (for example when the user pressed Ctrl-C while it
// waited for the pool); workers poll the flag at coarse steps of their long loops and leave
// by throwing `Cancelled`, which travels to the caller like any exception thrown by a task.
// The flag is read and written relaxed: a worker may run one more step before it notices,
// which costs at most one step's time and never changes a result that is returned.
//
// One flag serves the whole process. The module boundary clears it when a call starts, so a
// cancelled call never affects the next one. Calls cannot overlap a pending cancellation:
// each holds the interpreter lock throughout, except while its wait hook runs signal
// handlers, and whatever those start on this or another thread ends before the hook returns
// and cancellation is requested.
//
// The pool, the solvers and the tree learner all poll it, so it sits with the shared types
// rather than in any one of them.

#include <atomic>
#include <exception>

namespace tacitor {

// Thrown by a task that stopped because cancellation was requested. Not an internal failure:
// nothing went wrong, and nothing is written to standard error.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "operation cancelled"; }
};

namespace detail {
inline std::atomic<bool> cancellation_flag{false};
}  // namespace detail

inline void request_cancellation() noexcept {
  detail::cancellation_flag.store(true, std::memory_order_relaxed);
}

inline void clear_cancellation() noexcept {
  detail::cancellation_flag.store(false, std::memory_order_relaxed);
}

inline bool cancellation_requested() noexcept {
  return detail::cancellation_flag.load(std::memory_order_relaxed);
}

// Called at coarse steps of long computations (per column scanned, per Householder step, per
// sweep); one relaxed load when nothing is pending.
inline void throw_if_cancelled() {
  if (cancellation_requested()) {
    throw Cancelled();
  }
}

}  // namespace tacitor
