#include "pool/parallel_map.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/expected.hpp"
#include "common/internal_failure.hpp"
#include "pool/concurrency_limit.hpp"
#include "pool/global_pool.hpp"
#include "pool/join.hpp"
#include "pool/thread_pool.hpp"

namespace tacitor::pool {
namespace {

using Item = Expected<std::uint64_t, std::string>;

// A deterministic, index-dependent value whose cost can be made uneven.
std::uint64_t mix(std::uint64_t i, unsigned rounds = 1) {
  std::uint64_t x = i + 0x9e3779b97f4a7c15ULL;
  for (unsigned r = 0; r < rounds; ++r) {
    x ^= x >> 31;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 29;
  }
  return x;
}

class PoolPerWorkerCount : public ::testing::TestWithParam<std::size_t> {
 protected:
  ThreadPool pool_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Workers, PoolPerWorkerCount, ::testing::Values(1, 2, 3, 4),
                         ::testing::PrintToStringParamName());

TEST_P(PoolPerWorkerCount, EqualsTheSerialMapInIndexOrder) {
  EXPECT_EQ(pool_.num_threads(), GetParam());
  for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u}) {
    const auto result = parallel_try_map(pool_, n, [](std::size_t i) { return Item(mix(i)); });
    ASSERT_TRUE(result.has_value()) << n;
    std::vector<std::uint64_t> serial;
    for (std::size_t i = 0; i < n; ++i) {
      serial.push_back(mix(i));
    }
    EXPECT_EQ(*result, serial) << n;
  }
}

TEST_P(PoolPerWorkerCount, UnevenItemCostsStillComeBackInOrder) {
  for (int repeat = 0; repeat < 20; ++repeat) {
    // Every 17th item is a thousand times dearer than the rest.
    const auto result = parallel_try_map(
        pool_, 257, [](std::size_t i) { return Item(mix(i, i % 17 == 0 ? 20000 : 20)); });
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 257u);
    for (std::size_t i = 0; i < 257; ++i) {
      ASSERT_EQ((*result)[i], mix(i, i % 17 == 0 ? 20000 : 20)) << i;
    }
  }
}

TEST_P(PoolPerWorkerCount, EveryItemRunsExactlyOnce) {
  std::vector<std::atomic<int>> calls(500);
  const auto result = parallel_try_map(pool_, calls.size(), [&](std::size_t i) {
    calls[i].fetch_add(1, std::memory_order_relaxed);
    return Item(i);
  });
  ASSERT_TRUE(result.has_value());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].load(), 1) << i;
  }
}

TEST_P(PoolPerWorkerCount, OneFailureIsReturned) {
  for (std::size_t failing : {0u, 1u, 150u, 299u}) {
    const auto result = parallel_try_map(pool_, 300, [&](std::size_t i) {
      return i == failing ? Item(unexpected("item " + std::to_string(i))) : Item(i);
    });
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "item " + std::to_string(failing));
  }
}

TEST_P(PoolPerWorkerCount, OneOfManyFailuresIsReturned) {
  for (int repeat = 0; repeat < 20; ++repeat) {
    const auto result = parallel_try_map(pool_, 400, [](std::size_t i) {
      return i % 3 == 1 ? Item(unexpected("item " + std::to_string(i))) : Item(mix(i, 50));
    });
    ASSERT_FALSE(result.has_value());
    const std::size_t index = std::stoul(result.error().substr(5));
    EXPECT_EQ(index % 3, 1u) << result.error();
  }
}

TEST_P(PoolPerWorkerCount, InternalFailureReachesTheCallerAfterAllTasksFinish) {
  std::atomic<int> running{0};
  std::atomic<int> finished{0};
  const auto throwing_map = [&] {
    return parallel_try_map(pool_, 64, [&](std::size_t i) {
      running.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      running.fetch_sub(1);
      finished.fetch_add(1);
      if (i == 5) {
        throw InternalFailure("broken invariant");
      }
      return Item(i);
    });
  };
  try {
    throwing_map();
    FAIL() << "no exception";
  } catch (const InternalFailure& failure) {
    EXPECT_STREQ(failure.what(), "broken invariant");
  }
  // Nothing still runs after the exception arrived: no task outlived the call's stack.
  EXPECT_EQ(running.load(), 0);
  EXPECT_GE(finished.load(), 6);
  // The pool is still usable.
  const auto again = parallel_try_map(pool_, 10, [](std::size_t i) { return Item(i); });
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->size(), 10u);
}

TEST_P(PoolPerWorkerCount, BadAllocStaysBadAlloc) {
  std::atomic<int> running{0};
  EXPECT_THROW(parallel_try_map(pool_, 33,
                                [&](std::size_t i) {
                                  running.fetch_add(1);
                                  std::this_thread::sleep_for(std::chrono::microseconds(100));
                                  running.fetch_sub(1);
                                  if (i == 32) {
                                    throw std::bad_alloc();
                                  }
                                  return Item(i);
                                }),
               std::bad_alloc);
  EXPECT_EQ(running.load(), 0);
}

TEST_P(PoolPerWorkerCount, ConcurrentCallersShareThePool) {
  std::vector<std::thread> callers;
  std::atomic<int> good{0};
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&, c] {
      for (int repeat = 0; repeat < 10; ++repeat) {
        const auto result =
            parallel_try_map(pool_, 100, [c](std::size_t i) { return Item(mix(i + c)); });
        if (result.has_value() && result->size() == 100 && (*result)[99] == mix(99 + c)) {
          good.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  EXPECT_EQ(good.load(), 30);
}

// A cap below the worker count bounds the items in flight and changes no result; the cap is
// the calling thread's, restored when its scope ends.
TEST_P(PoolPerWorkerCount, ConcurrencyLimitBoundsItemsInFlight) {
  for (std::size_t limit : {1u, 2u}) {
    std::atomic<std::size_t> running{0};
    std::atomic<std::size_t> most{0};
    const auto item = [&](std::size_t i) {
      const std::size_t now = running.fetch_add(1) + 1;
      std::size_t seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      const std::uint64_t value = mix(i, i % 5 == 0 ? 20000 : 200);
      running.fetch_sub(1);
      return Item(value);
    };
    std::optional<Expected<std::vector<std::uint64_t>, std::string>> capped;
    {
      const ScopedConcurrencyLimit cap(limit);
      EXPECT_EQ(concurrency_limit(), limit);
      capped.emplace(parallel_try_map(pool_, 200, item));
    }
    EXPECT_EQ(concurrency_limit(), 0u);
    EXPECT_LE(most.load(), limit);
    const auto free = parallel_try_map(pool_, 200, item);
    ASSERT_TRUE(capped->has_value() && free.has_value());
    EXPECT_EQ(**capped, *free);
  }
}

TEST(ParallelMapOneWorker, RunsInAscendingOrderAndStopsAtTheFirstFailure) {
  ThreadPool pool(1);
  std::vector<std::size_t> order;  // only the single worker appends
  const auto result = parallel_try_map(pool, 50, [&](std::size_t i) {
    order.push_back(i);
    return i == 20 ? Item(unexpected(std::string("twenty"))) : Item(i);
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "twenty");
  std::vector<std::size_t> expected;
  for (std::size_t i = 0; i <= 20; ++i) {
    expected.push_back(i);
  }
  EXPECT_EQ(order, expected);
}

TEST(ParallelMapSmall, ZeroAndOneItemsRunOnTheCaller) {
  ThreadPool pool(2);
  int calls = 0;
  const auto none = parallel_try_map(pool, 0, [&](std::size_t i) {
    ++calls;
    return Item(i);
  });
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(calls, 0);

  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id ran_on;
  const auto one = parallel_try_map(pool, 1, [&](std::size_t i) {
    ran_on = std::this_thread::get_id();
    return Item(i + 41);
  });
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(*one, std::vector<std::uint64_t>{41});
  EXPECT_EQ(ran_on, caller);
}

TEST(ParallelMapLargeRange, WorksOnMoveOnlyValues) {
  ThreadPool pool(3);
  using Owned = Expected<std::unique_ptr<std::size_t>, std::string>;
  const auto result = parallel_try_map(
      pool, 100, [](std::size_t i) { return Owned(std::make_unique<std::size_t>(i * i)); });
  ASSERT_TRUE(result.has_value());
  for (std::size_t i = 0; i < 100; ++i) {
    ASSERT_EQ(*(*result)[i], i * i);
  }
}

TEST(JoinContext, StolenFlagsTellWhetherAClosureLeftItsCaller) {
  ThreadPool pool(2);
  // From outside the pool both closures run on workers, away from the caller.
  const auto outside =
      join_context(pool, [](bool stolen) { return stolen; }, [](bool stolen) { return stolen; });
  EXPECT_TRUE(outside.first);
  EXPECT_TRUE(outside.second);

  // Inside a worker, `a` always runs inline; `b` is stolen exactly when another thread ran it.
  struct Seen {
    bool a_stolen;
    bool b_stolen;
    bool b_elsewhere;
  };
  std::vector<Seen> seen;
  for (int repeat = 0; repeat < 200; ++repeat) {
    const auto nested = join_context(
        pool,
        [&](bool) {
          const std::thread::id joiner = std::this_thread::get_id();
          const auto inner = join_context(
              pool,
              [&](bool stolen) {
                std::this_thread::sleep_for(std::chrono::microseconds(repeat % 2 ? 1000 : 0));
                return stolen;
              },
              [&](bool stolen) { return std::pair(stolen, std::this_thread::get_id() != joiner); });
          return Seen{inner.first, inner.second.first, inner.second.second};
        },
        [](bool) { return 0; });
    seen.push_back(nested.first);
  }
  bool some_stolen = false;
  for (const Seen& s : seen) {
    EXPECT_FALSE(s.a_stolen);
    EXPECT_EQ(s.b_stolen, s.b_elsewhere);
    some_stolen = some_stolen || s.b_stolen;
  }
  EXPECT_TRUE(some_stolen) << "the second worker never stole";
}

TEST(JoinContext, SiblingCompletesBeforeTheExceptionTravels) {
  ThreadPool pool(2);
  for (int repeat = 0; repeat < 50; ++repeat) {
    std::atomic<bool> b_done{false};
    try {
      join_context(
          pool, [](bool) -> int { throw InternalFailure("left failed"); },
          [&](bool) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            b_done.store(true);
            return 1;
          });
      FAIL() << "no exception";
    } catch (const InternalFailure& failure) {
      EXPECT_STREQ(failure.what(), "left failed");
    }
    EXPECT_TRUE(b_done.load());
  }
}

int fail_after_two(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  static std::atomic<int> calls{0};
  if (calls.fetch_add(1) >= 2) {
    return EAGAIN;
  }
  return pthread_create(thread, attributes, start, argument);
}

TEST(PoolCreation, AFailedStartIsRememberedAsAnInternalFailure) {
  EXPECT_THROW(ThreadPool(4, &fail_after_two), ThreadStartFailure);

  int factory_calls = 0;
  PoolSlot slot([&] {
    ++factory_calls;
    throw ThreadStartFailure("cannot start worker thread 2 of 4: Resource temporarily unavailable");
    return std::unique_ptr<ThreadPool>();
  });
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      slot.get();
      FAIL() << "no exception";
    } catch (const InternalFailure& failure) {
      EXPECT_EQ(std::string(failure.what()),
                "The global thread pool has not been initialized. cannot start worker thread 2 "
                "of 4: Resource temporarily unavailable");
    }
  }
  EXPECT_EQ(factory_calls, 1);
}

TEST(PoolCreation, ConcurrentFirstCallersGetTheOnePool) {
  std::atomic<int> created{0};
  PoolSlot slot([&] {
    created.fetch_add(1);
    return std::make_unique<ThreadPool>(2);
  });
  std::vector<std::thread> callers;
  std::vector<ThreadPool*> seen(4);
  for (std::size_t c = 0; c < seen.size(); ++c) {
    callers.emplace_back([&, c] { seen[c] = &slot.get(); });
  }
  for (std::thread& caller : callers) {
    caller.join();
  }
  EXPECT_EQ(created.load(), 1);
  for (ThreadPool* pool : seen) {
    EXPECT_EQ(pool, seen[0]);
  }
}

#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// The thread sanitizer does not support forking a multi-threaded process, and the address
// sanitizer's allocator can be inherited locked by the child of such a fork.
// Forks repeatedly while another thread keeps the global pool's workers busy, so that pool
// locks are likely held at the moment of the fork. Every child must compute its own map.
TEST(GlobalPool, AForkedChildBuildsAFreshPool) {
  const auto expected = parallel_try_map(64, [](std::size_t i) { return Item(mix(i)); });
  ASSERT_TRUE(expected.has_value());
  std::atomic<bool> keep_busy{true};
  std::thread busy([&] {
    while (keep_busy.load()) {
      (void)parallel_try_map(256, [](std::size_t i) { return Item(mix(i, 200)); });
    }
  });
  std::vector<std::string> problems;
  for (int round = 0; round < 10; ++round) {
    const pid_t child = fork();
    if (child == -1) {
      problems.push_back("fork failed");
      break;
    }
    if (child == 0) {
      const auto in_child = parallel_try_map(64, [](std::size_t i) { return Item(mix(i)); });
      _exit(in_child.has_value() && *in_child == *expected ? 0 : 3);
    }
    int status = 0;
    pid_t done = 0;
    for (int waited = 0; waited < 1000 && done == 0; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      done = waitpid(child, &status, WNOHANG);
    }
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      problems.push_back("child " + std::to_string(round) + " hung");
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      problems.push_back("child " + std::to_string(round) + " failed");
    }
  }
  keep_busy.store(false);
  busy.join();
  EXPECT_EQ(problems, std::vector<std::string>{});
}
#endif

}  // namespace
}  // namespace tacitor::pool
