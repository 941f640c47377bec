#include "pool/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace tacitor::pool {
namespace {

// The affinity query uses a fixed mask of this many CPUs; a machine with more CPUs makes the
// call fail, and the online count is used instead.
constexpr std::size_t affinity_mask_cpus = 1024;
static_assert(CPU_SETSIZE == affinity_mask_cpus);

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    return std::nullopt;
  }
  return std::move(text).str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

bool has_token(std::string_view list, std::string_view token) {
  for (std::string_view part : split(list, ',')) {
    if (part == token) {
      return true;
    }
  }
  return false;
}

// The single value of a cgroup control file: the text up to the first newline.
std::string_view first_line(std::string_view text) {
  return text.substr(0, text.find('\n'));
}

// mountinfo writes space, tab, newline and backslash in paths as three-digit octal escapes.
std::string unescape_mount_path(std::string_view text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string_view digits = text.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        path +=
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    path += text[i];
  }
  return path;
}

// A cgroup hierarchy as mounted: the mount point and the group path that its root shows.
struct CgroupMount {
  std::string mount_point;
  std::string root;
};

enum class CgroupVersion { v1_cpu, v2 };

// Finds the mount of the cgroup v2 hierarchy or of the v1 hierarchy carrying the cpu
// controller. Line format: id parent major:minor root mount-point options [optional...] -
// fstype source super-options.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, CgroupVersion version) {
  for (std::string_view line : split(mountinfo, '\n')) {
    const std::vector<std::string_view> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 4) {
      continue;
    }
    const std::string_view fstype = dash[1];
    const std::string_view super_options = dash[3];
    const bool wanted = version == CgroupVersion::v2
                            ? fstype == "cgroup2"
                            : fstype == "cgroup" && has_token(super_options, "cpu");
    if (wanted) {
      return CgroupMount{unescape_mount_path(fields[4]), unescape_mount_path(fields[3])};
    }
  }
  return std::nullopt;
}

// The process's group path in the hierarchy: "0::PATH" for v2, "ID:cpu,...:PATH" for v1.
std::optional<std::string> find_group(std::string_view cgroup_file, CgroupVersion version) {
  for (std::string_view line : split(cgroup_file, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) {
      continue;
    }
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) {
      continue;
    }
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    const bool wanted = version == CgroupVersion::v2 ? id == "0" && controllers.empty()
                                                     : has_token(controllers, "cpu");
    if (wanted && !path.empty() && path.front() == '/') {
      return std::string(path);
    }
  }
  return std::nullopt;
}

// quota / period, at least 1.
std::size_t limit_from(std::size_t quota, std::size_t period) {
  return std::max<std::size_t>(1, quota / period);
}

std::optional<std::size_t> v2_limit(const std::filesystem::path& dir) {
  const std::optional<std::string> text = read_file(dir / "cpu.max");
  if (!text) {
    return std::nullopt;
  }
  const std::vector<std::string_view> fields = split(first_line(*text), ' ');
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
  const std::optional<std::string> quota_text = read_file(dir / "cpu.cfs_quota_us");
  const std::optional<std::string> period_text = read_file(dir / "cpu.cfs_period_us");
  if (!quota_text || !period_text) {
    return std::nullopt;
  }
  // "-1" is the kernel's "no quota"; any other negative value is malformed.
  const std::optional<std::size_t> quota = parse_thread_count(first_line(*quota_text));
  const std::optional<std::size_t> period = parse_thread_count(first_line(*period_text));
  if (!quota || !period || *period == 0) {
    return std::nullopt;
  }
  return limit_from(*quota, *period);
}

// The smallest limit from the group's directory up to the hierarchy's mount point.
std::optional<std::size_t> hierarchy_limit(const std::filesystem::path& root,
                                           std::string_view cgroup_file, std::string_view mountinfo,
                                           CgroupVersion version) {
  const std::optional<CgroupMount> mount = find_mount(mountinfo, version);
  const std::optional<std::string> group = find_group(cgroup_file, version);
  if (!mount || !group) {
    return std::nullopt;
  }
  // The mount shows the hierarchy from `mount->root` down; a group outside it (another
  // namespace's view) is looked up at the mount point itself.
  std::filesystem::path relative = std::filesystem::path(*group).lexically_normal();
  const std::filesystem::path mount_root = std::filesystem::path(mount->root).lexically_normal();
  if (mount_root != "/") {
    const std::filesystem::path inside = relative.lexically_relative(mount_root);
    relative =
        inside.empty() || *inside.begin() == ".." ? std::filesystem::path("/") : "/" / inside;
  }
  std::filesystem::path dir = root / std::filesystem::path(mount->mount_point).relative_path();
  std::optional<std::size_t> smallest =
      version == CgroupVersion::v2 ? v2_limit(dir) : v1_limit(dir);
  for (const std::filesystem::path& part : relative.relative_path()) {
    if (part.empty() || part == "." || part == "..") {
      continue;
    }
    dir /= part;
    const std::optional<std::size_t> limit =
        version == CgroupVersion::v2 ? v2_limit(dir) : v1_limit(dir);
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
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::size_t value = 0;
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (max - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::filesystem::path& root) {
  const std::optional<std::string> cgroup_file = read_file(root / "proc/self/cgroup");
  const std::optional<std::string> mountinfo = read_file(root / "proc/self/mountinfo");
  if (!cgroup_file || !mountinfo) {
    return std::nullopt;
  }
  return min_of(hierarchy_limit(root, *cgroup_file, *mountinfo, CgroupVersion::v2),
                hierarchy_limit(root, *cgroup_file, *mountinfo, CgroupVersion::v1_cpu));
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
