#pragma once
// The process-wide worker pool.
//
// Created by the first `global_pool` call from any thread, with `pool_size()` workers;
// concurrent first callers wait for the one creation. If a worker thread cannot be started
// the failure is remembered, and this and every later call raises the internal failure
// "The global thread pool has not been initialized." followed by the description.
//
// A forked child has only the forking thread, so the parent's workers do not exist there. A
// fork handler therefore drops the pool in the child without touching it (its mutexes may
// have been held by threads that are gone); the child's first use creates a fresh pool. The
// abandoned pool's memory is leaked on purpose.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "pool/thread_pool.hpp"

namespace tacitor::pool {

inline constexpr const char* pool_not_initialized =
    "The global thread pool has not been initialized.";

// Creates a pool once and remembers a failed creation. `global_pool` is one of these.
class PoolSlot {
 public:
  using Factory = std::function<std::unique_ptr<ThreadPool>()>;

  explicit PoolSlot(Factory factory) : factory_(std::move(factory)) {}
  ~PoolSlot() { delete pool_.load(std::memory_order_relaxed); }
  PoolSlot(const PoolSlot&) = delete;
  PoolSlot& operator=(const PoolSlot&) = delete;

  // The pool, created by the first call. Throws InternalFailure after a failed creation;
  // std::bad_alloc during creation is not remembered.
  ThreadPool& get();

 private:
  Factory factory_;
  std::atomic<ThreadPool*> pool_{nullptr};  // published with release, read with acquire
  std::mutex creation_mutex_;               // serialises creation and guards failure_
  std::optional<std::string> failure_;
};

ThreadPool& global_pool();

// Counts the forks this process descends from (each child increments it right after the
// fork). A thread that sees it change knows that the pool's threads are gone.
std::uint64_t fork_generation() noexcept;

}  // namespace tacitor::pool
