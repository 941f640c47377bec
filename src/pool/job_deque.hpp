#pragma once
// One worker's job queue.
//
// Contract: only the owning worker calls `push` and `pop`, which work at the back (last in,
// first out, so a worker finishes the newest and smallest pieces of its own work first). Any
// thread may call `steal`, which takes the oldest job from the front, where the biggest
// pieces of work sit. Every operation holds the queue's mutex, so the mutex orders all
// accesses (a job pushed before an unlock is fully visible to whoever takes it).

#include <deque>
#include <mutex>
#include <optional>

#include "pool/job.hpp"

namespace tacitor::pool {

class JobDeque {
 public:
  // May throw std::bad_alloc; the job is then not queued.
  void push(JobRef job) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(job);
  }

  std::optional<JobRef> pop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) {
      return std::nullopt;
    }
    const JobRef job = jobs_.back();
    jobs_.pop_back();
    return job;
  }

  std::optional<JobRef> steal() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.empty()) {
      return std::nullopt;
    }
    const JobRef job = jobs_.front();
    jobs_.pop_front();
    return job;
  }

 private:
  std::mutex mutex_;
  std::deque<JobRef> jobs_;
};

}  // namespace tacitor::pool
