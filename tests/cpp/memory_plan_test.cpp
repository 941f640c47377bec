#include "models/memory_plan.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/available_memory.hpp"
#include "common/memory_refusal.hpp"

namespace tacitor::models {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

// A fake filesystem root with /proc files and cgroup memory files, removed afterwards.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "tacitor-memory-XXXXXX").string();
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
  void meminfo(const std::string& available_kib) const {
    write("proc/meminfo",
          "MemTotal:       24576000 kB\nMemFree:          100000 kB\n"
          "MemAvailable:   " +
              available_kib + " kB\nBuffers:  1 kB\n");
  }
  // The process in /user.slice/job of a v2 hierarchy, or in /job of a v1 memory controller.
  void v2() const {
    write("proc/self/cgroup", "0::/user.slice/job\n");
    write("proc/self/mountinfo",
          "30 22 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n");
  }
  void v1() const {
    write("proc/self/cgroup", "4:cpu,cpuacct:/\n7:memory:/job\n");
    write("proc/self/mountinfo",
          "34 25 0:30 / /sys/fs/cgroup/memory rw,nosuid shared:13 - cgroup cgroup rw,memory\n");
  }
  const fs::path& path() const { return root_; }

 private:
  fs::path root_;
};

TEST(MemorySize, ParsesBytesAndBinaryUnits) {
  EXPECT_EQ(parse_memory_size("1048576"), 1048576u);
  EXPECT_EQ(parse_memory_size("8G"), 8 * kGiB);
  EXPECT_EQ(parse_memory_size("512m"), 512u << 20);
  EXPECT_EQ(parse_memory_size("2KiB"), 2048u);
  EXPECT_EQ(parse_memory_size("1TB"), kGiB << 10);
  for (const char* bad :
       {"", "G", "8 G", "-1G", "8X", "8GG", "1.5G", "99999999999999999999", "17179869184G"}) {
    EXPECT_EQ(parse_memory_size(bad), std::nullopt) << bad;
  }
}

TEST(AvailableMemory, SmallestOfMemAvailableAndCgroupHeadroomLessAMargin) {
  FakeRoot root;
  EXPECT_EQ(memory_budget(root.path(), std::nullopt).bytes, UINT64_MAX);
  root.meminfo("10485760");  // 10 GiB
  EXPECT_EQ(meminfo_available(root.path()), 10 * kGiB);
  EXPECT_EQ(memory_budget(root.path(), std::nullopt).bytes, 9 * kGiB);

  root.v2();
  root.write("sys/fs/cgroup/memory.max", "max\n");
  root.write("sys/fs/cgroup/memory.current", "123\n");
  EXPECT_EQ(cgroup_memory_headroom(root.path()), std::nullopt);
  // The tighter of the two groups on the way down counts.
  root.write("sys/fs/cgroup/user.slice/memory.max", std::to_string(6 * kGiB) + "\n");
  root.write("sys/fs/cgroup/user.slice/memory.current", std::to_string(kGiB) + "\n");
  root.write("sys/fs/cgroup/user.slice/job/memory.max", std::to_string(8 * kGiB) + "\n");
  root.write("sys/fs/cgroup/user.slice/job/memory.current", std::to_string(kGiB) + "\n");
  EXPECT_EQ(cgroup_memory_headroom(root.path()), 5 * kGiB);
  EXPECT_EQ(memory_budget(root.path(), std::nullopt).bytes, 5 * kGiB - (5 * kGiB) / 10);
  // Usage above the limit leaves nothing.
  root.write("sys/fs/cgroup/user.slice/job/memory.current", std::to_string(9 * kGiB) + "\n");
  EXPECT_EQ(cgroup_memory_headroom(root.path()), 0u);
}

TEST(AvailableMemory, CgroupV1AndTheCap) {
  FakeRoot root;
  root.meminfo("10485760");
  root.v1();
  root.write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
  root.write("sys/fs/cgroup/memory/memory.usage_in_bytes", "1000\n");
  root.write("sys/fs/cgroup/memory/job/memory.limit_in_bytes", std::to_string(3 * kGiB) + "\n");
  root.write("sys/fs/cgroup/memory/job/memory.usage_in_bytes", std::to_string(kGiB) + "\n");
  EXPECT_EQ(cgroup_memory_headroom(root.path()), 2 * kGiB);

  const MemoryBudget capped = memory_budget(root.path(), "512M");
  EXPECT_EQ(capped.bytes, 512u << 20);
  EXPECT_TRUE(capped.capped);
  // A cap above what is available, zero or unparsable changes nothing.
  for (const char* cap : {"64G", "0", "lots"}) {
    const MemoryBudget budget = memory_budget(root.path(), cap);
    EXPECT_EQ(budget.bytes, 2 * kGiB - (2 * kGiB) / 10) << cap;
    EXPECT_FALSE(budget.capped) << cap;
  }
}

TEST(MemoryPlan, LinearPeakIsOneDesignMatrixPerWorker) {
  // 1,024 series of 65,536 samples, window 64, stride 1.
  const MemoryPlan plan = plan_memory(Method::linear_regression, 1024, 65536, 64, 1);
  EXPECT_EQ(plan.training_rows, 65473u * 1024u);
  EXPECT_EQ(plan.fit_columns, 65u);
  const double design = 65473.0 * 1024 * 65 * 4;
  EXPECT_NEAR(static_cast<double>(plan.peak(1)), design + 256.0 * (1 << 20), design * 0.01);
  EXPECT_NEAR(static_cast<double>(plan.peak(2)), 2 * design + 256.0 * (1 << 20), design * 0.01);
  // Between one and two fits: one worker; below one: none.
  EXPECT_EQ(workers_that_fit(plan, plan.peak(2) - 1, 2), 1u);
  EXPECT_EQ(workers_that_fit(plan, plan.peak(2), 8), 2u);
  EXPECT_EQ(workers_that_fit(plan, plan.peak(1) - 1, 2), 0u);
}

TEST(MemoryPlan, ImpossibleShapesSaturateAndInvalidOnesPlanTheCopyOnly) {
  const MemoryPlan huge = plan_memory(Method::decision_tree, 1u << 30, 1u << 30, 4, 2);
  EXPECT_EQ(huge.peak(4), UINT64_MAX);
  EXPECT_EQ(workers_that_fit(huge, UINT64_MAX - 1, 4), 0u);
  for (const auto& [w, stride] : {std::pair{0u, 1u}, std::pair{11u, 1u}, std::pair{4u, 0u}}) {
    const MemoryPlan plan = plan_memory(Method::linear_regression, 3, 10, w, stride);
    EXPECT_EQ(plan.peak(8), 120u) << w << "/" << stride;
  }
}

TEST(MemoryPlan, RefusalNamesTheNumbersAndTheWayOut) {
  const MemoryPlan plan = plan_memory(Method::linear_regression, 2048, 65536, 64, 1);
  const std::string text = refusal_text(plan, MemoryBudget{21 * kGiB + kGiB * 9 / 10, false});
  EXPECT_EQ(text, "one fit needs about " + format_bytes(plan.peak(1)) +
                      " (134,088,704 rows × 65 columns) but 21.9 GiB are available; use a larger "
                      "stride, a smaller window, fewer series per call "
                      "(tacitor_tools.denoise_dask), or fit on a sample");
  EXPECT_EQ(format_bytes(plan.peak(1)), "33.0 GiB");
  EXPECT_EQ(format_bytes(3u << 19), "1.5 MiB");
  const std::string capped = refusal_text(plan, MemoryBudget{kGiB, true});
  EXPECT_NE(capped.find("1.0 GiB are available (TACITOR_MEMORY_LIMIT); "), std::string::npos);
  const MemoryRefusal refusal(text);
  const std::bad_alloc& as_bad_alloc = refusal;
  EXPECT_EQ(std::string(as_bad_alloc.what()), text);
}

}  // namespace
}  // namespace tacitor::models
