#pragma once
// How many worker threads the process-wide pool gets.
//
// Order: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPU count (affinity mask limited
// by any cgroup CPU quota), capped at `max_pool_size`. The environment and the filesystem root
// are parameters so that the rules can be exercised against fixture directories.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tacitor::pool {

// The largest pool the module starts.
inline constexpr std::size_t max_pool_size = 255;

// Looks up one environment variable; nullopt when it is unset.
using Environment = std::function<std::optional<std::string>(const char* name)>;

// The process environment (getenv).
Environment process_environment();

// An unsigned decimal count: an optional leading "+", then digits only, no spaces, and no
// overflow of size_t. Anything else is nullopt.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The smallest CPU limit (quota / period, at least 1) of the cgroup v1 cpu controller or the
// cgroup v2 hierarchy, from the process's own group up to the hierarchy root, reading
// `root`/proc/self/cgroup and `root`/proc/self/mountinfo. nullopt when no quota applies or
// nothing can be read.
std::optional<std::size_t> cgroup_cpu_limit(const std::filesystem::path& root);

// CPUs in the calling thread's affinity mask (sysconf's online count when the mask is empty or
// unavailable), limited by the cgroup quota under `root`; nullopt when nothing is known.
std::optional<std::size_t> cpu_count(const std::filesystem::path& root);

// The pool size from `environment` and the system under `root`: 1 to `max_pool_size`.
std::size_t pool_size(const Environment& environment, const std::filesystem::path& root);

// The pool size of this process: the real environment and "/".
std::size_t pool_size();

}  // namespace tacitor::pool
