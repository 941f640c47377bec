#pragma once
// How a thread outside the pool waits for the job it handed to the workers.
//
// Left alone, the waiter would sleep through the whole operation, deaf to anything that should
// stop it (the Python caller to Ctrl-C). So a thread may install a wait hook: while the hook
// is installed, the thread's waits wake every `wait_hook_interval` and call it. A hook that
// returns true asks the operation to stop: cancellation is requested, the workers leave at
// their next check (see common/cancellation.hpp), and once every task has finished (they reference
// the waiter's stack) the wait ends by throwing `Cancelled`, whatever the job's outcome. The
// hook is not called again during a wait that has asked to stop.
//
// Without a hook the thread simply blocks, as it did before hooks existed.
//
// A hook may run arbitrary code on the waiting thread, including a fork. In the child only
// that thread exists; the workers that would complete the job are gone, so the wait ends with
// an internal failure instead of blocking forever. Its job stays referenced only by the
// abandoned pool, which nothing runs.

#include <chrono>
#include <cstdint>
#include <utility>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "pool/global_pool.hpp"
#include "pool/job.hpp"

namespace tacitor::pool {

// Short enough that Ctrl-C feels immediate, long enough that a waiting thread costs nothing.
inline constexpr std::chrono::milliseconds wait_hook_interval{25};

// Returns true to stop the operation being waited for. Must not throw.
using WaitHook = bool (*)() noexcept;

namespace detail {
inline thread_local WaitHook installed_wait_hook = nullptr;
}  // namespace detail

// Installs `hook` on the calling thread for the guard's lifetime; the previous hook (of an
// enclosing call on the same thread) comes back afterwards.
class ScopedWaitHook {
 public:
  explicit ScopedWaitHook(WaitHook hook) noexcept
      : previous_(std::exchange(detail::installed_wait_hook, hook)) {}
  ~ScopedWaitHook() { detail::installed_wait_hook = previous_; }
  ScopedWaitHook(const ScopedWaitHook&) = delete;
  ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

 private:
  WaitHook previous_;
};

// Blocks until `latch` is set, calling the installed hook as described above. Returns true
// when this wait requested cancellation.
inline bool wait_outside_pool(LockLatch& latch) {
  const WaitHook hook = detail::installed_wait_hook;
  if (hook == nullptr) {
    latch.wait();
    return false;
  }
  const std::uint64_t forks = fork_generation();
  bool cancelled = false;
  while (!latch.wait_for(wait_hook_interval)) {
    if (cancelled) {
      continue;
    }
    if (hook()) {
      request_cancellation();
      cancelled = true;
    }
    // Checked at once: in a child, a worker may have held the latch's mutex at the fork.
    if (fork_generation() != forks) {
      raise_internal_failure(
          "the process forked while a call waited for the worker threads, which do not exist "
          "in the child; the call cannot finish there");
    }
  }
  return cancelled;
}

}  // namespace tacitor::pool
