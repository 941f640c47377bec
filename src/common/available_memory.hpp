#pragma once
// How much memory a call may plan to use.
//
// The kernel's MemAvailable (what can be allocated without swapping), limited by the headroom
// of any cgroup memory limit (limit minus current usage, the smallest from the process's group
// up to the root, version 1 or 2), less a safety margin for everything else that allocates
// meanwhile. TACITOR_MEMORY_LIMIT caps the result: it is read once per process, like the
// worker count, and an unparsable or zero value is ignored as the worker-count variables
// ignore theirs. The filesystem root and the variable's text are parameters so that the rules
// can be exercised against fixture trees.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace tacitor {

inline constexpr const char* kMemoryLimitVariable = "TACITOR_MEMORY_LIMIT";

// A byte count: digits, optionally followed by one of K, M, G, T (binary multiples, either
// case) and an optional "B" or "iB" after the letter; "8G", "512MiB", "1048576". Anything else,
// or a value beyond 64 bits, is nullopt.
std::optional<std::uint64_t> parse_memory_size(std::string_view text);

// MemAvailable of `root`/proc/meminfo, in bytes.
std::optional<std::uint64_t> meminfo_available(const std::filesystem::path& root);

// The smallest (limit - usage) of the cgroup memory limits that apply to this process (0 when
// usage exceeds a limit); nullopt when no limit applies or nothing can be read.
std::optional<std::uint64_t> cgroup_memory_headroom(const std::filesystem::path& root);

struct MemoryBudget {
  std::uint64_t bytes = 0;  // what a call may plan for
  bool capped = false;      // the cap of TACITOR_MEMORY_LIMIT decided it
};

// The budget under `root` with the cap's text `limit` (nullopt: the variable is unset).
// Nothing readable and no cap: unbounded (the largest 64-bit value).
MemoryBudget memory_budget(const std::filesystem::path& root,
                           std::optional<std::string_view> limit);

// The budget of this process now: "/" and the variable as first read.
MemoryBudget memory_budget();

}  // namespace tacitor
