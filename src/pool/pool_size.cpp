#include "pool/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "common/cgroup_files.hpp"

namespace tacitor::pool {
namespace {

// The affinity query uses a fixed mask of this many CPUs; a machine with more CPUs makes the
// call fail, and the online count is used instead.
constexpr std::size_t affinity_mask_cpus = 1024;
static_assert(CPU_SETSIZE == affinity_mask_cpus);

// quota / period, at least 1.
std::size_t limit_from(std::size_t quota, std::size_t period) {
  return std::max<std::size_t>(1, quota / period);
}

std::optional<std::size_t> v2_limit(const std::filesystem::path& dir) {
  const std::optional<std::string> text = cgroup::read_file(dir / "cpu.max");
  if (!text) {
    return std::nullopt;
  }
  const std::vector<std::string_view> fields = cgroup::split(cgroup::first_line(*text), ' ');
  if (fields.size() != 2 || fields[0] == "max") {
    return std::nullopt;
  }
  const std::optional<std::size_t> quota = parse_thread_count(fields[0]);
  const std::optional<std::size_t> period = parse_thread_count(fields[1]);
  if (!quota || !period || *period == 0) {
    return std::nullopt;
  }
  return limit_from(*quota, *period);
}

std::optional<std::size_t> v1_limit(const std::filesystem::path& dir) {
  const std::optional<std::string> quota_text = cgroup::read_file(dir / "cpu.cfs_quota_us");
  const std::optional<std::string> period_text = cgroup::read_file(dir / "cpu.cfs_period_us");
  if (!quota_text || !period_text) {
    return std::nullopt;
  }
  // "-1" is the kernel's "no quota"; any other negative value is malformed.
  const std::optional<std::size_t> quota = parse_thread_count(cgroup::first_line(*quota_text));
  const std::optional<std::size_t> period = parse_thread_count(cgroup::first_line(*period_text));
  if (!quota || !period || *period == 0) {
    return std::nullopt;
  }
  return limit_from(*quota, *period);
}

// The smallest limit from the hierarchy's mount point down to the process's group.
std::optional<std::size_t> hierarchy_limit(const std::filesystem::path& root, bool v2) {
  std::optional<std::size_t> smallest;
  for (const std::filesystem::path& dir : cgroup::group_directories(root, {v2, "cpu"})) {
    const std::optional<std::size_t> limit = v2 ? v2_limit(dir) : v1_limit(dir);
    if (limit && (!smallest || *limit < *smallest)) {
      smallest = limit;
    }
  }
  return smallest;
}

std::optional<std::size_t> min_of(std::optional<std::size_t> a, std::optional<std::size_t> b) {
  if (!a) {
    return b;
  }
  if (!b) {
    return a;
  }
  return std::min(*a, *b);
}

// A count from one environment variable: the value when set, parsable and at least 1.
std::optional<std::size_t> env_count(const Environment& environment, const char* name, bool& zero) {
  zero = false;
  const std::optional<std::string> text = environment(name);
  if (!text) {
    return std::nullopt;
  }
  const std::optional<std::size_t> count = parse_thread_count(*text);
  if (!count) {
    return std::nullopt;
  }
  if (*count == 0) {
    zero = true;
    return std::nullopt;
  }
  return count;
}

}  // namespace

Environment process_environment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) {
      return std::nullopt;
    }
    return std::string(value);
  };
}

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  const std::optional<std::uint64_t> count = cgroup::parse_decimal(text);
  if (!count || *count > std::numeric_limits<std::size_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(*count);
}

std::optional<std::size_t> cgroup_cpu_limit(const std::filesystem::path& root) {
  return min_of(hierarchy_limit(root, true), hierarchy_limit(root, false));
}

std::optional<std::size_t> cpu_count(const std::filesystem::path& root) {
  std::optional<std::size_t> count;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0 && CPU_COUNT(&mask) > 0) {
    count = static_cast<std::size_t>(CPU_COUNT(&mask));
  } else {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) {
      count = static_cast<std::size_t>(online);
    }
  }
  if (!count) {
    return std::nullopt;
  }
  return min_of(count, cgroup_cpu_limit(root));
}

std::size_t pool_size(const Environment& environment, const std::filesystem::path& root) {
  bool zero = false;
  std::optional<std::size_t> size = env_count(environment, "RAYON_NUM_THREADS", zero);
  if (!size && !zero) {
    size = env_count(environment, "RAYON_RS_NUM_CPUS", zero);
  }
  if (!size) {
    size = cpu_count(root).value_or(1);
  }
  return std::min(*size, max_pool_size);
}

std::size_t pool_size() {
  return pool_size(process_environment(), "/");
}

}  // namespace tacitor::pool
