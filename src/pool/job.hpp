#pragma once
// Jobs and completion signals of the worker pool.
//
// A `JobRef` is a type-erased pointer to a job that lives elsewhere (normally on the stack of
// the thread that waits for it); whoever runs it calls `execute` exactly once. `StackJob`
// holds a closure, its result slot and a latch: running it stores the value or the exception
// the closure threw, then sets the latch. After the latch is set the job belongs to its
// waiter again, which may destroy it at once, so `set` must not touch the job afterwards.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace tacitor::pool {

struct JobRef {
  void (*execute)(void* data) noexcept = nullptr;
  void* data = nullptr;

  void run() const noexcept { execute(data); }
  friend bool operator==(const JobRef&, const JobRef&) = default;
};

// A latch that blocks an outside thread. One thread waits; one thread sets it once.
// The flag is guarded by the mutex, so the waiter returns only after the setter has released
// it and no longer touches the latch.
class LockLatch {
 public:
  void set() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    is_set_ = true;
    condition_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait(lock, [this] { return is_set_; });
  }
  // Waits at most `timeout`; true when the latch is set.
  bool wait_for(std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return condition_.wait_for(lock, timeout, [this] { return is_set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool is_set_ = false;
};

// A closure run at most once, either inline by its owner (`run_inline`) or through a JobRef
// by another thread (`execute`, which passes stolen = true and then sets the latch).
// `Latch` needs `void set() noexcept`; the latch is referenced, not owned.
template <class F, class Latch>
class StackJob {
 public:
  using Result = std::invoke_result_t<F&, bool>;
  static_assert(!std::is_void_v<Result>, "join closures return a value");

  StackJob(F& function, Latch& latch) : function_(function), latch_(latch) {}
  StackJob(const StackJob&) = delete;
  StackJob& operator=(const StackJob&) = delete;

  JobRef as_job_ref() noexcept { return JobRef{&StackJob::execute, this}; }

  void run_inline(bool stolen) noexcept { run(stolen); }

  // The closure's value, or its exception rethrown. Call once, after the job has run.
  Result take_result() {
    if (error_) {
      std::rethrow_exception(error_);
    }
    return std::move(*result_);
  }

 private:
  static void execute(void* data) noexcept {
    auto* job = static_cast<StackJob*>(data);
    Latch& latch = job->latch_;
    job->run(true);
    latch.set();
  }

  void run(bool stolen) noexcept {
    try {
      result_.emplace(function_(stolen));
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  F& function_;
  Latch& latch_;
  std::optional<Result> result_;
  std::exception_ptr error_;
};

}  // namespace tacitor::pool
