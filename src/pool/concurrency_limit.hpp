#pragma once
// A cap on how many items of one parallel map run at once.
//
// A call whose items each need much memory may run fewer of them side by side than the pool
// has workers. The calling thread installs the cap for a scope; the maps it starts in that
// scope admit at most that many items at a time, and a worker that finds no room waits for a
// running item to finish. Items are still collected in index order, so the results do not
// depend on the cap. Waiting is safe: an admitted item never waits for another item.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace tacitor::pool {

namespace detail {
// 0: no cap.
inline thread_local std::size_t installed_concurrency_limit = 0;
}  // namespace detail

// Caps the maps started by the calling thread at `limit` items at a time (0: no cap) for the
// guard's lifetime; the previous cap comes back afterwards.
class ScopedConcurrencyLimit {
 public:
  explicit ScopedConcurrencyLimit(std::size_t limit) noexcept
      : previous_(std::exchange(detail::installed_concurrency_limit, limit)) {}
  ~ScopedConcurrencyLimit() { detail::installed_concurrency_limit = previous_; }
  ScopedConcurrencyLimit(const ScopedConcurrencyLimit&) = delete;
  ScopedConcurrencyLimit& operator=(const ScopedConcurrencyLimit&) = delete;

 private:
  std::size_t previous_;
};

// The cap the calling thread has installed; 0 when none.
inline std::size_t concurrency_limit() noexcept {
  return detail::installed_concurrency_limit;
}

// Admission of one map's items: at most `limit` hold a ticket at once.
class Admission {
 public:
  explicit Admission(std::size_t limit) : free_(limit) {}

  class Ticket {
   public:
    explicit Ticket(Admission* admission) : admission_(admission) {
      if (admission_ != nullptr) {
        admission_->enter();
      }
    }
    ~Ticket() {
      if (admission_ != nullptr) {
        admission_->leave();
      }
    }
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;

   private:
    Admission* admission_;
  };

 private:
  void enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return free_ > 0; });
    --free_;
  }

  void leave() noexcept {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++free_;
    }
    room_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable room_;
  std::size_t free_;
};

}  // namespace tacitor::pool
