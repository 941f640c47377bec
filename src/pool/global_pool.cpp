#include "pool/global_pool.hpp"

#include <pthread.h>

#include "common/internal_failure.hpp"
#include "pool/pool_size.hpp"

namespace tacitor::pool {
namespace {

// The current process's slot; null until first use and again in a freshly forked child.
std::atomic<PoolSlot*> process_slot{nullptr};

PoolSlot& current_slot() {
  PoolSlot* slot = process_slot.load(std::memory_order_acquire);
  if (slot != nullptr) {
    return *slot;
  }
  auto fresh = std::make_unique<PoolSlot>([] { return std::make_unique<ThreadPool>(pool_size()); });
  if (process_slot.compare_exchange_strong(slot, fresh.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    return *fresh.release();
  }
  return *slot;  // another thread installed its slot first
}

// Runs in the child right after fork, on the only thread there is. It must not lock anything
// of the old pool; it only forgets it (old slot and pool leak deliberately).
std::atomic<std::uint64_t> forks_seen{0};

void forget_pool_in_child() noexcept {
  forks_seen.fetch_add(1, std::memory_order_relaxed);
  process_slot.store(nullptr, std::memory_order_relaxed);
  ThreadPool::forget_current_thread();
}

// Registered at load time, before any thread of the pool exists.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, &forget_pool_in_child);

}  // namespace

ThreadPool& PoolSlot::get() {
  if (ThreadPool* pool = pool_.load(std::memory_order_acquire)) {
    return *pool;
  }
  std::lock_guard<std::mutex> lock(creation_mutex_);
  if (ThreadPool* pool = pool_.load(std::memory_order_acquire)) {
    return *pool;
  }
  if (!failure_) {
    try {
      std::unique_ptr<ThreadPool> created = factory_();
      pool_.store(created.get(), std::memory_order_release);
      return *created.release();
    } catch (const ThreadStartFailure& failure) {
      failure_ = std::string(pool_not_initialized) + " " + failure.what();
    }
  }
  raise_internal_failure(*failure_);
}

std::uint64_t fork_generation() noexcept {
  return forks_seen.load(std::memory_order_relaxed);
}

ThreadPool& global_pool() {
  (void)fork_handler_registered;
  return current_slot().get();
}

}  // namespace tacitor::pool
