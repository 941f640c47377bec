#include "pool/pool_size.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tacitor::pool {
namespace {

namespace fs = std::filesystem;

Environment fake_environment(std::map<std::string, std::string> variables) {
  return [variables = std::move(variables)](const char* name) -> std::optional<std::string> {
    const auto found = variables.find(name);
    if (found == variables.end()) {
      return std::nullopt;
    }
    return found->second;
  };
}

// A fake filesystem root with /proc/self and cgroup files, removed afterwards.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "tacitor-pool-size-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
  }
  ~FakeRoot() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void write(const std::string& relative, const std::string& text) const {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  // A cgroup v2 hierarchy mounted at /sys/fs/cgroup with the process in `group`.
  void v2(const std::string& group) const {
    write("proc/self/cgroup", "0::" + group + "\n");
    write("proc/self/mountinfo",
          "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
          "30 22 0:26 / /sys/fs/cgroup rw,nosuid,nodev shared:4 - cgroup2 cgroup2 rw,nsdelegate\n");
  }
  void cpu_max(const std::string& dir, const std::string& text) const {
    write("sys/fs/cgroup" + dir + "/cpu.max", text);
  }

  // A cgroup v1 hierarchy whose cpu controller is mounted at /sys/fs/cgroup/cpu,cpuacct.
  void v1(const std::string& group, const std::string& mount_root = "/") const {
    write("proc/self/cgroup", "12:memory:/elsewhere\n4:cpu,cpuacct:" + group + "\n0::/\n");
    write("proc/self/mountinfo",
          "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
          "33 25 0:29 " +
              mount_root +
              " /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:12 - cgroup cgroup rw,cpu,cpuacct\n"
              "34 25 0:30 / /sys/fs/cgroup/memory rw,nosuid shared:13 - cgroup cgroup rw,memory\n");
  }
  void cfs(const std::string& dir, const std::string& quota, const std::string& period) const {
    write("sys/fs/cgroup/cpu,cpuacct" + dir + "/cpu.cfs_quota_us", quota);
    write("sys/fs/cgroup/cpu,cpuacct" + dir + "/cpu.cfs_period_us", period);
  }

  const fs::path& path() const { return root_; }

 private:
  fs::path root_;
};

std::size_t affinity_count() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  EXPECT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  return static_cast<std::size_t>(CPU_COUNT(&mask));
}

TEST(ParseThreadCount, AcceptsOnlyAnOptionalPlusAndDigits) {
  EXPECT_EQ(parse_thread_count("4"), 4u);
  EXPECT_EQ(parse_thread_count("+3"), 3u);
  EXPECT_EQ(parse_thread_count("0"), 0u);
  EXPECT_EQ(parse_thread_count("007"), 7u);
  // The largest size_t is accepted, one more is not (size_t has 32 bits on 32-bit targets).
  constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(parse_thread_count(std::to_string(largest)), largest);
  const std::string one_more = largest < std::numeric_limits<unsigned long long>::max()
                                   ? std::to_string(static_cast<unsigned long long>(largest) + 1)
                                   : "18446744073709551616";
  for (const std::string& bad : {std::string("18446744073709551616"), one_more}) {
    EXPECT_EQ(parse_thread_count(bad), std::nullopt) << '"' << bad << '"';
  }
  for (const char* bad :
       {"", "+", "++3", "-1", " 4", "4 ", "abc", "4a", "0x10", "1e3", "99999999999999999999999"}) {
    EXPECT_EQ(parse_thread_count(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(PoolSize, EnvironmentVariablesComeFirst) {
  const FakeRoot empty;  // no cgroup files: the CPU count is the affinity count
  const std::size_t cpus = affinity_count();
  const auto size = [&](std::map<std::string, std::string> variables) {
    return pool_size(fake_environment(std::move(variables)), empty.path());
  };
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", "4"}}), 4u);
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", "4"}, {"RAYON_RS_NUM_CPUS", "3"}}), 4u);
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", "+3"}}), 3u);
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "3"}}), cpus);
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", "abc"}, {"RAYON_RS_NUM_CPUS", "3"}}), 3u);
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", " 4"}, {"RAYON_RS_NUM_CPUS", "3"}}), 3u);
  EXPECT_EQ(size({{"RAYON_NUM_THREADS", "99999999999999999999999"}, {"RAYON_RS_NUM_CPUS", "2"}}),
            2u);
  EXPECT_EQ(size({{"RAYON_RS_NUM_CPUS", "3"}}), 3u);
  EXPECT_EQ(size({{"RAYON_RS_NUM_CPUS", "0"}}), cpus);
  EXPECT_EQ(size({{"RAYON_RS_NUM_CPUS", "x"}}), cpus);
  EXPECT_EQ(size({}), cpus);
}

TEST(PoolSize, IsCappedAt255) {
  const FakeRoot empty;
  EXPECT_EQ(pool_size(fake_environment({{"RAYON_NUM_THREADS", "1000"}}), empty.path()), 255u);
  EXPECT_EQ(pool_size(fake_environment({{"RAYON_NUM_THREADS", "255"}}), empty.path()), 255u);
  EXPECT_EQ(pool_size(fake_environment({{"RAYON_RS_NUM_CPUS", "256"}}), empty.path()), 255u);
}

TEST(PoolSize, ACpuQuotaLimitsTheCpuCountButNotTheEnvironment) {
  FakeRoot root;
  root.v2("/app");
  root.cpu_max("/app", "150000 100000\n");
  EXPECT_EQ(pool_size(fake_environment({}), root.path()), 1u);
  EXPECT_EQ(pool_size(fake_environment({{"RAYON_NUM_THREADS", "0"}}), root.path()), 1u);
  EXPECT_EQ(pool_size(fake_environment({{"RAYON_NUM_THREADS", "6"}}), root.path()), 6u);
}

TEST(CpuCount, FollowsTheCallingThreadsAffinityMask) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      cpus.push_back(cpu);
    }
  }
  const FakeRoot empty;
  for (std::size_t wanted : {std::size_t{1}, std::size_t{2}}) {
    if (cpus.size() < wanted) {
      continue;
    }
    std::optional<std::size_t> seen;
    // Affinity is per thread, so restrict a thread of our own.
    std::thread([&] {
      cpu_set_t mask;
      CPU_ZERO(&mask);
      for (std::size_t k = 0; k < wanted; ++k) {
        CPU_SET(cpus[k], &mask);
      }
      if (sched_setaffinity(0, sizeof mask, &mask) == 0) {
        seen = cpu_count(empty.path());
      }
    }).join();
    EXPECT_EQ(seen, wanted);
  }
}

TEST(CgroupV2, QuotaDividedByPeriodAtLeastOne) {
  const std::pair<const char*, std::optional<std::size_t>> cases[] = {
      {"150000 100000\n", 1}, {"50000 100000\n", 1},   {"200000 100000\n", 2},
      {"350000 100000", 3},   {"max 100000\n", {}},    {"abc 100000\n", {}},
      {"100000 0\n", {}},     {"100000\n", {}},        {"", {}},
      {"-1 100000\n", {}},    {"100000  100000\n", {}}};
  for (const auto& [text, expected] : cases) {
    FakeRoot root;
    root.v2("/");
    root.cpu_max("", text);
    EXPECT_EQ(cgroup_cpu_limit(root.path()), expected) << '"' << text << '"';
  }
}

TEST(CgroupV2, TheSmallestLimitFromTheGroupUpToTheRootWins) {
  FakeRoot root;
  root.v2("/user.slice/session/app");
  root.cpu_max("", "max 100000\n");
  root.cpu_max("/user.slice", "300000 100000\n");
  root.cpu_max("/user.slice/session", "max 100000\n");
  root.cpu_max("/user.slice/session/app", "500000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), 3u);
  root.cpu_max("/user.slice/session/app", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), 2u);
  // A group below the process's own does not count.
  root.cpu_max("/user.slice/session/app/child", "100000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), 2u);
}

TEST(CgroupV2, MissingOrMalformedBookkeepingImposesNothing) {
  FakeRoot root;
  EXPECT_EQ(cgroup_cpu_limit(root.path()), std::nullopt);  // no /proc files at all
  root.v2("/app");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), std::nullopt);  // no cpu.max anywhere
  root.write("proc/self/cgroup", "garbage\n");
  root.cpu_max("/app", "100000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), std::nullopt);
  root.write("proc/self/cgroup", "0::/app\n");
  root.write("proc/self/mountinfo", "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), std::nullopt);  // no cgroup2 mount
}

TEST(CgroupV1, CfsQuotaOverPeriod) {
  const std::tuple<const char*, const char*, std::optional<std::size_t>> cases[] = {
      {"250000\n", "100000\n", 2}, {"150000\n", "100000\n", 1}, {"-1\n", "100000\n", {}},
      {"-5\n", "100000\n", {}},    {"1000\n", "0\n", {}},       {"x\n", "100000\n", {}},
      {"100000\n", "", {}}};
  for (const auto& [quota, period, expected] : cases) {
    FakeRoot root;
    root.v1("/docker/abc");
    root.cfs("/docker/abc", quota, period);
    EXPECT_EQ(cgroup_cpu_limit(root.path()), expected) << quota << " / " << period;
  }
}

TEST(CgroupV1, NestedGroupsAndContainerMountRoots) {
  FakeRoot root;
  root.v1("/docker/abc");
  root.cfs("", "-1\n", "100000\n");
  root.cfs("/docker", "400000\n", "100000\n");
  root.cfs("/docker/abc", "-1\n", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), 4u);

  // Inside a container the mount shows the hierarchy from the container's own group down.
  FakeRoot container;
  container.v1("/docker/abc", "/docker/abc");
  container.cfs("", "300000\n", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(container.path()), 3u);
}

TEST(CgroupV1, MountPointsWithEscapedCharacters) {
  FakeRoot root;
  root.write("proc/self/cgroup", "3:cpu:/g\n");
  root.write("proc/self/mountinfo",
             "33 25 0:29 / /cg\\040roups/cpu rw shared:12 - cgroup cgroup rw,cpu\n");
  root.write("cg roups/cpu/g/cpu.cfs_quota_us", "200000\n");
  root.write("cg roups/cpu/g/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), 2u);
}

TEST(CgroupHybrid, TheSmallerOfBothHierarchiesWins) {
  FakeRoot root;
  root.write("proc/self/cgroup", "4:cpu,cpuacct:/a\n0::/b\n");
  root.write("proc/self/mountinfo",
             "30 22 0:26 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
             "33 25 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n");
  root.write("sys/fs/cgroup/unified/b/cpu.max", "500000 100000\n");
  root.cfs("/a", "300000\n", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root.path()), 3u);
  EXPECT_EQ(cpu_count(root.path()), std::min<std::size_t>(3, affinity_count()));
}

}  // namespace
}  // namespace tacitor::pool
