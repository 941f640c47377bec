#pragma once
// ScratchPool: work storage shared by the tasks of one parallel loop.
//
// A task leases one item for its duration and hands it back when the lease ends, so at most
// as many items exist as tasks ever ran at once (the worker count), and each is reused from
// one task to the next instead of being freed and allocated again. The pool lives as long as
// the loop's caller keeps it; nothing survives the call. acquire and the lease's release take
// the mutex briefly, once per task.

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tacitor::models {

template <class T>
class ScratchPool {
 public:
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<T> item) : pool_(&pool), item_(std::move(item)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool_->give_back(std::move(item_)); }
    T& operator*() const noexcept { return *item_; }

   private:
    ScratchPool* pool_;
    std::unique_ptr<T> item_;
  };

  Lease acquire() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<T> item = std::move(free_.back());
        free_.pop_back();
        return Lease(*this, std::move(item));
      }
      free_.reserve(made_ + 1);
      ++made_;
    }
    return Lease(*this, std::make_unique<T>());
  }

 private:
  // Never throws: the free list has room for every item, reserved when the item was made.
  void give_back(std::unique_ptr<T> item) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < free_.capacity()) {
      free_.push_back(std::move(item));
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<T>> free_;
  std::size_t made_ = 0;
};

}  // namespace tacitor::models
