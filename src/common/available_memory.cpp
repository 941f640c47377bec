#include "common/available_memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "common/cgroup_files.hpp"

namespace tacitor {
namespace {

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();

// Kept free for the interpreter, other threads of the process and the neighbours on the
// machine: a tenth of what is available.
std::uint64_t less_margin(std::uint64_t available) {
  return available - available / 10;
}

std::optional<std::uint64_t> min_of(std::optional<std::uint64_t> a,
                                    std::optional<std::uint64_t> b) {
  if (!a) {
    return b;
  }
  if (!b) {
    return a;
  }
  return std::min(*a, *b);
}

std::optional<std::uint64_t> read_number(const std::filesystem::path& path) {
  const std::optional<std::string> text = cgroup::read_file(path);
  if (!text) {
    return std::nullopt;
  }
  return cgroup::parse_decimal(cgroup::first_line(*text));
}

// limit - usage of one group directory; "max" (v2) means no limit, as does a v1 limit that
// no machine reaches (the kernel writes a value near 2^63 for "unlimited").
std::optional<std::uint64_t> headroom(const std::filesystem::path& dir, bool v2) {
  const std::optional<std::uint64_t> limit =
      read_number(dir / (v2 ? "memory.max" : "memory.limit_in_bytes"));
  const std::optional<std::uint64_t> usage =
      read_number(dir / (v2 ? "memory.current" : "memory.usage_in_bytes"));
  if (!limit || !usage) {
    return std::nullopt;
  }
  return *limit > *usage ? *limit - *usage : 0;
}

std::optional<std::uint64_t> hierarchy_headroom(const std::filesystem::path& root, bool v2) {
  std::optional<std::uint64_t> smallest;
  for (const std::filesystem::path& dir : cgroup::group_directories(root, {v2, "memory"})) {
    smallest = min_of(smallest, headroom(dir, v2));
  }
  return smallest;
}

std::optional<std::string> process_memory_limit() {
  const char* value = std::getenv(kMemoryLimitVariable);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace

std::optional<std::uint64_t> parse_memory_size(std::string_view text) {
  const std::size_t digits = text.find_first_not_of("0123456789");
  const std::optional<std::uint64_t> count = cgroup::parse_decimal(text.substr(0, digits));
  if (!count || (digits != std::string_view::npos && digits == 0)) {
    return std::nullopt;
  }
  std::string_view unit = digits == std::string_view::npos ? "" : text.substr(digits);
  unsigned shift = 0;
  if (!unit.empty()) {
    static constexpr std::string_view kLetters = "KMGT";
    const char letter = static_cast<char>(unit.front() & ~0x20);
    const std::size_t index = kLetters.find(letter);
    if (index == std::string_view::npos) {
      return std::nullopt;
    }
    shift = 10 * static_cast<unsigned>(index + 1);
    unit.remove_prefix(1);
    if (unit != "" && unit != "B" && unit != "iB") {
      return std::nullopt;
    }
  }
  const std::uint64_t value = *count;
  if (shift > 0 && value > (kUnbounded >> shift)) {
    return std::nullopt;
  }
  return value << shift;
}

std::optional<std::uint64_t> meminfo_available(const std::filesystem::path& root) {
  const std::optional<std::string> text = cgroup::read_file(root / "proc/meminfo");
  if (!text) {
    return std::nullopt;
  }
  // "MemAvailable:   22964544 kB"
  for (std::string_view line : cgroup::split(*text, '\n')) {
    constexpr std::string_view kKey = "MemAvailable:";
    if (line.substr(0, kKey.size()) != kKey) {
      continue;
    }
    line.remove_prefix(kKey.size());
    line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
    const std::size_t end = line.find(' ');
    const std::optional<std::uint64_t> kib = cgroup::parse_decimal(line.substr(0, end));
    if (!kib || end == std::string_view::npos || line.substr(end) != " kB" ||
        *kib > (kUnbounded >> 10)) {
      return std::nullopt;
    }
    return *kib << 10;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> cgroup_memory_headroom(const std::filesystem::path& root) {
  return min_of(hierarchy_headroom(root, true), hierarchy_headroom(root, false));
}

MemoryBudget memory_budget(const std::filesystem::path& root,
                           std::optional<std::string_view> limit) {
  const std::optional<std::uint64_t> available =
      min_of(meminfo_available(root), cgroup_memory_headroom(root));
  MemoryBudget budget{available ? less_margin(*available) : kUnbounded, false};
  std::optional<std::uint64_t> cap = limit ? parse_memory_size(*limit) : std::nullopt;
  if (cap && *cap > 0 && *cap < budget.bytes) {
    budget = {*cap, true};
  }
  return budget;
}

MemoryBudget memory_budget() {
  // Read once per process: a call must not see the limit change under it.
  static const std::optional<std::string> limit = process_memory_limit();
  return memory_budget("/", limit ? std::optional<std::string_view>(*limit) : std::nullopt);
}

}  // namespace tacitor
