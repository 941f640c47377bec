// Cancelling a parallel operation: from the waiting caller's hook, or from inside an item.

#include "common/cancellation.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "common/expected.hpp"
#include "common/internal_failure.hpp"
#include "pool/outside_wait.hpp"
#include "pool/parallel_map.hpp"
#include "pool/thread_pool.hpp"

namespace tacitor::pool {
namespace {

using Item = Expected<std::size_t, std::string>;

// What the items of one map did; the hook reads it, so it is process-wide.
std::atomic<std::size_t> items_started{0};
std::atomic<std::size_t> started_when_cancelled{0};

// Stops the operation once a few items have started, remembering how many had.
bool stop_after_a_few_items() noexcept {
  const std::size_t started = items_started.load();
  if (started < 3) {
    return false;
  }
  started_when_cancelled.store(started);
  return true;
}

class CancellationPerWorkerCount : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    clear_cancellation();
    items_started.store(0);
  }
  void TearDown() override { clear_cancellation(); }
  ThreadPool pool_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Workers, CancellationPerWorkerCount, ::testing::Values(1, 2, 3, 4),
                         ::testing::PrintToStringParamName());

TEST_P(CancellationPerWorkerCount, TheWaitHookStopsTheMapAndThePoolWorksAfterwards) {
  constexpr std::size_t n = 2000;  // 2 ms each: seconds of work if nothing stopped it
  std::vector<std::atomic<bool>> ran(n);
  const auto started = std::chrono::steady_clock::now();
  {
    const ScopedWaitHook hook(&stop_after_a_few_items);
    EXPECT_THROW((void)parallel_try_map(pool_, n,
                                        [&](std::size_t i) {
                                          items_started.fetch_add(1);
                                          std::this_thread::sleep_for(std::chrono::milliseconds(2));
                                          ran[i].store(true);
                                          return Item(i);
                                        }),
                 Cancelled);
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_LT(elapsed, std::chrono::seconds(1));
  EXPECT_TRUE(cancellation_requested());
  // Items that had not started when cancellation was requested never run, except one per
  // worker that had not yet seen the flag.
  std::size_t ran_count = 0;
  for (const auto& flag : ran) {
    ran_count += flag.load() ? 1 : 0;
  }
  EXPECT_EQ(ran_count, items_started.load());
  EXPECT_LE(ran_count, started_when_cancelled.load() + GetParam());

  clear_cancellation();
  const auto again = parallel_try_map(pool_, 100, [](std::size_t i) { return Item(3 * i); });
  ASSERT_TRUE(again.has_value());
  for (std::size_t i = 0; i < 100; ++i) {
    ASSERT_EQ((*again)[i], 3 * i);
  }
}

TEST_P(CancellationPerWorkerCount, AHookThatNeverStopsChangesNothing) {
  const ScopedWaitHook hook([]() noexcept { return false; });
  const auto result = parallel_try_map(pool_, 300, [](std::size_t i) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    return Item(i * i);
  });
  ASSERT_TRUE(result.has_value());
  for (std::size_t i = 0; i < 300; ++i) {
    ASSERT_EQ((*result)[i], i * i);
  }
}

TEST(Cancellation, AnItemCanCancelTheRestWithOneWorker) {
  // With one worker the items run in ascending order, so exactly those up to the requester ran.
  clear_cancellation();
  ThreadPool pool(1);
  std::vector<std::size_t> ran;
  EXPECT_THROW((void)parallel_try_map(pool, 50,
                                      [&](std::size_t i) {
                                        ran.push_back(i);
                                        if (i == 10) {
                                          request_cancellation();
                                        }
                                        return Item(i);
                                      }),
               Cancelled);
  EXPECT_EQ(ran.size(), 11u);
  EXPECT_EQ(ran.back(), 10u);
  clear_cancellation();
}

#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// (Sanitizers: see the fork test of the global pool.)
bool forked = false;
bool in_child = false;
pid_t forked_child = 0;

bool fork_once() noexcept {
  if (!forked) {
    forked = true;
    forked_child = fork();
    in_child = forked_child == 0;
  }
  return false;
}

// A hook that forks: in the child the workers are gone, so its wait must end, not block.
TEST(Cancellation, AWaitThatForkedFailsInTheChildAndCompletesInTheParent) {
  clear_cancellation();
  const auto work = [](std::size_t i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Item(i + 1);
  };
  try {
    const ScopedWaitHook hook(&fork_once);
    const auto result = parallel_try_map(100, work);
    if (in_child) {
      _exit(4);  // the child must not get a result
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->back(), 100u);
  } catch (const InternalFailure&) {
    if (in_child) {
      _exit(0);
    }
    throw;
  }
  ASSERT_TRUE(forked && forked_child > 0);
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < 500 && done == 0; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done = waitpid(forked_child, &status, WNOHANG);
  }
  if (done == 0) {
    kill(forked_child, SIGKILL);
    waitpid(forked_child, &status, 0);
    FAIL() << "the forked child hung in its wait";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif

}  // namespace
}  // namespace tacitor::pool
