#pragma once
// A fixed set of worker threads with per-worker job deques and one injection queue.
//
// Contract:
// - Worker i owns `deque(i)`: only worker i pushes and pops there (LIFO); idle workers steal
//   from the other end. Threads outside the pool hand work in with `inject` (FIFO).
// - A worker looks for work in this order: its own deque, the injection queue, the other
//   workers' deques (starting after itself). After `spin_rounds` empty searches it sleeps on
//   its own condition variable until `notify_new_work` or `wake_worker` wakes it.
// - Lost wake-ups are excluded by two sequentially consistent counters: a producer queues its
//   job, then increments `jobs_posted_`, then reads `sleepers_`; a worker about to sleep
//   increments `sleepers_`, then re-reads `jobs_posted_` and stays awake if it changed since
//   its last search. In the single total order of these four operations, either the producer
//   sees the sleeper or the sleeper sees the new job. Each worker's `sleeping` flag is guarded
//   by its sleep mutex, held from the decision to sleep until the wait, so a waker that finds
//   the flag set always reaches a thread that is (or is about to be) waiting.
// - Jobs run to completion and never throw (StackJob catches everything). A failure of the
//   pool's own machinery on a worker thread cannot reach any caller: the worker writes a
//   diagnostic to stderr and aborts the process.
//
// The destructor stops and joins the workers; it may only run while no job is queued or
// running. The process-wide pool (global_pool.hpp) is never destroyed.

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "pool/job.hpp"
#include "pool/job_deque.hpp"

namespace tacitor::pool {

// Every worker thread gets this stack (raised to the system minimum when that is larger):
// room for the estimators' recursion plus the pool's own nested joins.
inline constexpr std::size_t worker_stack_bytes = 2 * 1024 * 1024;

// A worker thread could not be started; the pool stopped the ones it had started.
class ThreadStartFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ThreadPool {
 public:
  using ThreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

  // Starts `workers` threads (at least 1) one by one and returns once all have registered.
  // `create` starts one thread; tests substitute it to make a start fail.
  // Throws ThreadStartFailure (after stopping the started threads) or std::bad_alloc.
  explicit ThreadPool(std::size_t workers, ThreadCreate create = &pthread_create);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t num_threads() const noexcept { return workers_.size(); }

  // The calling thread's index when it is one of this pool's workers.
  std::optional<std::size_t> current_worker_index() const noexcept;

  // Worker `index` only: its own deque. `push_local` also wakes a sleeping worker.
  void push_local(std::size_t index, JobRef job);
  std::optional<JobRef> pop_local(std::size_t index);

  // Any thread: queues a job for the workers and wakes one. May throw std::bad_alloc.
  void inject(JobRef job);

  // Worker `index` only: runs other jobs (sleeping when there are none) until `done` is true.
  void work_until(std::size_t index, const std::atomic<bool>& done);

  // Wakes worker `index` if it sleeps. Any thread.
  void wake_worker(std::size_t index) noexcept;

  // Forgets that the calling thread is a worker (a forked child keeps only the forking thread).
  static void forget_current_thread() noexcept;

 private:
  struct Worker;
  static void* worker_main(void* argument);

  std::optional<JobRef> find_work(std::size_t index);
  void sleep(std::size_t index, std::uint64_t seen_posted, const std::atomic<bool>& done);
  void notify_new_work() noexcept;
  bool wake_if_sleeping(Worker& worker) noexcept;
  void stop_workers(std::size_t started) noexcept;

  std::vector<std::unique_ptr<Worker>> workers_;
  JobDeque injected_;
  std::atomic<bool> terminate_{false};
  std::atomic<std::uint64_t> jobs_posted_{0};
  std::atomic<std::size_t> sleepers_{0};
  std::atomic<std::size_t> next_wake_{0};

  std::mutex started_mutex_;
  std::condition_variable started_condition_;
  std::size_t started_ = 0;
};

// The completion signal of a job that a worker pushed and then waits for while running other
// jobs. Set once by whichever thread ran the job (release), read by the owner (acquire).
class WorkerLatch {
 public:
  WorkerLatch(ThreadPool& pool, std::size_t owner) noexcept : pool_(pool), owner_(owner) {}

  bool probe() const noexcept { return done_.load(std::memory_order_acquire); }
  const std::atomic<bool>& flag() const noexcept { return done_; }

  // The owner may destroy the latch as soon as the flag is visible, so copy what the wake-up
  // needs first.
  void set() noexcept {
    ThreadPool& pool = pool_;
    const std::size_t owner = owner_;
    done_.store(true, std::memory_order_release);
    pool.wake_worker(owner);
  }

 private:
  ThreadPool& pool_;
  std::size_t owner_;
  std::atomic<bool> done_{false};
};

}  // namespace tacitor::pool
