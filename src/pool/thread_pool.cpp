#include "pool/thread_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace tacitor::pool {
namespace {

// Empty searches before an idle worker goes to sleep. Short: the machines this runs on are
// small and shared, and a job posted meanwhile wakes the worker anyway.
constexpr unsigned spin_rounds = 32;

struct CurrentWorker {
  const ThreadPool* pool = nullptr;
  std::size_t index = 0;
};
thread_local CurrentWorker current_worker;

std::string error_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns the message, which may or may not live in the buffer.
  return std::string(strerror_r(code, buffer, sizeof buffer));
}

[[noreturn]] void die(const char* what) noexcept {
  std::fprintf(stderr, "tacitor: fatal error in a worker thread: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

struct alignas(64) ThreadPool::Worker {
  ThreadPool* pool = nullptr;
  std::size_t index = 0;
  pthread_t thread{};
  JobDeque deque;
  std::size_t next_victim = 0;  // touched by the owner only

  std::mutex sleep_mutex;
  std::condition_variable wake;
  bool sleeping = false;                   // guarded by sleep_mutex
  std::atomic<bool> sleeping_hint{false};  // a lock-free hint for wakers scanning for sleepers
};

ThreadPool::ThreadPool(std::size_t workers, ThreadCreate create) {
  workers = std::max<std::size_t>(workers, 1);
  workers_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) {
    auto worker = std::make_unique<Worker>();
    worker->pool = this;
    worker->index = i;
    worker->next_victim = i + 1;
    workers_.push_back(std::move(worker));
  }

  pthread_attr_t attributes;
  if (const int code = pthread_attr_init(&attributes); code != 0) {
    throw ThreadStartFailure("cannot create thread attributes: " + error_text(code));
  }
  const std::size_t stack_bytes =
      std::max(worker_stack_bytes, static_cast<std::size_t>(PTHREAD_STACK_MIN));
  if (const int code = pthread_attr_setstacksize(&attributes, stack_bytes); code != 0) {
    pthread_attr_destroy(&attributes);
    throw ThreadStartFailure("cannot set the worker stack size: " + error_text(code));
  }
  for (std::size_t i = 0; i < workers; ++i) {
    const int code =
        create(&workers_[i]->thread, &attributes, &ThreadPool::worker_main, workers_[i].get());
    if (code != 0) {
      pthread_attr_destroy(&attributes);
      stop_workers(i);
      throw ThreadStartFailure("cannot start worker thread " + std::to_string(i) + " of " +
                               std::to_string(workers) + ": " + error_text(code));
    }
  }
  pthread_attr_destroy(&attributes);

  std::unique_lock<std::mutex> lock(started_mutex_);
  started_condition_.wait(lock, [&] { return started_ == workers; });
}

ThreadPool::~ThreadPool() {
  stop_workers(workers_.size());
}

void ThreadPool::stop_workers(std::size_t started) noexcept {
  terminate_.store(true, std::memory_order_seq_cst);
  for (std::size_t i = 0; i < started; ++i) {
    wake_worker(i);
  }
  for (std::size_t i = 0; i < started; ++i) {
    pthread_join(workers_[i]->thread, nullptr);
  }
}

void* ThreadPool::worker_main(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  ThreadPool& pool = *worker->pool;
  current_worker = CurrentWorker{&pool, worker->index};
  try {
    {
      std::lock_guard<std::mutex> lock(pool.started_mutex_);
      ++pool.started_;
    }
    pool.started_condition_.notify_all();
    pool.work_until(worker->index, pool.terminate_);
  } catch (const std::exception& failure) {
    die(failure.what());
  } catch (...) {
    die("unknown exception");
  }
  current_worker = CurrentWorker{};
  return nullptr;
}

std::optional<std::size_t> ThreadPool::current_worker_index() const noexcept {
  if (current_worker.pool != this) {
    return std::nullopt;
  }
  return current_worker.index;
}

void ThreadPool::forget_current_thread() noexcept {
  current_worker = CurrentWorker{};
}

void ThreadPool::push_local(std::size_t index, JobRef job) {
  workers_[index]->deque.push(job);
  notify_new_work();
}

std::optional<JobRef> ThreadPool::pop_local(std::size_t index) {
  return workers_[index]->deque.pop();
}

void ThreadPool::inject(JobRef job) {
  injected_.push(job);
  notify_new_work();
}

std::optional<JobRef> ThreadPool::find_work(std::size_t index) {
  Worker& self = *workers_[index];
  if (std::optional<JobRef> job = self.deque.pop()) {
    return job;
  }
  if (std::optional<JobRef> job = injected_.steal()) {
    return job;
  }
  const std::size_t n = workers_.size();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t victim = (self.next_victim + k) % n;
    if (victim == index) {
      continue;
    }
    if (std::optional<JobRef> job = workers_[victim]->deque.steal()) {
      self.next_victim = victim;
      return job;
    }
  }
  return std::nullopt;
}

void ThreadPool::work_until(std::size_t index, const std::atomic<bool>& done) {
  unsigned idle_rounds = 0;
  while (!done.load(std::memory_order_acquire)) {
    const std::uint64_t seen_posted = jobs_posted_.load(std::memory_order_seq_cst);
    if (std::optional<JobRef> job = find_work(index)) {
      job->run();
      idle_rounds = 0;
      continue;
    }
    if (idle_rounds < spin_rounds) {
      ++idle_rounds;
      sched_yield();
      continue;
    }
    sleep(index, seen_posted, done);
    idle_rounds = 0;
  }
}

void ThreadPool::sleep(std::size_t index, std::uint64_t seen_posted,
                       const std::atomic<bool>& done) {
  Worker& self = *workers_[index];
  std::unique_lock<std::mutex> lock(self.sleep_mutex);
  self.sleeping = true;
  self.sleeping_hint.store(true, std::memory_order_seq_cst);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  if (jobs_posted_.load(std::memory_order_seq_cst) != seen_posted ||
      done.load(std::memory_order_acquire)) {
    self.sleeping = false;
    self.sleeping_hint.store(false, std::memory_order_relaxed);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    return;
  }
  self.wake.wait(lock, [&] { return !self.sleeping; });
}

bool ThreadPool::wake_if_sleeping(Worker& worker) noexcept {
  std::lock_guard<std::mutex> lock(worker.sleep_mutex);
  if (!worker.sleeping) {
    return false;
  }
  worker.sleeping = false;
  worker.sleeping_hint.store(false, std::memory_order_relaxed);
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
  worker.wake.notify_one();
  return true;
}

void ThreadPool::wake_worker(std::size_t index) noexcept {
  wake_if_sleeping(*workers_[index]);
}

void ThreadPool::notify_new_work() noexcept {
  jobs_posted_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) == 0) {
    return;
  }
  // Wake one sleeper, starting the scan at a different worker each time.
  const std::size_t n = workers_.size();
  const std::size_t start = next_wake_.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t k = 0; k < n; ++k) {
    Worker& worker = *workers_[(start + k) % n];
    if (worker.sleeping_hint.load(std::memory_order_seq_cst) && wake_if_sleeping(worker)) {
      return;
    }
  }
}

}  // namespace tacitor::pool
