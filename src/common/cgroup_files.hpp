#pragma once
// Reading the Linux control-group files of this process.
//
// A limit of a cgroup applies to the process's own group and to every group above it up to
// the hierarchy's root, so readers walk the directories from the mount point down to the
// process's group and keep the smallest limit they find. The filesystem root is a parameter so
// that fixture trees can stand in for /proc and /sys.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tacitor::cgroup {

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& path);

// The single value of a control file: the text up to the first newline.
std::string_view first_line(std::string_view text);

std::vector<std::string_view> split(std::string_view text, char separator);

// An unsigned decimal: an optional leading "+", then digits only, no spaces, and no overflow of
// 64 bits (memory sizes exceed size_t on 32-bit targets). Anything else is nullopt.
std::optional<std::uint64_t> parse_decimal(std::string_view text);

// Version 2 (the unified hierarchy), or a version 1 hierarchy that carries `controller`.
struct Hierarchy {
  bool v2 = true;
  std::string_view controller;  // for version 1: "cpu", "memory", ...
};

// The directories of the process's groups in `hierarchy`, from the mount point (the topmost
// group this process can see) down to its own group, under `root`; reads
// `root`/proc/self/cgroup and `root`/proc/self/mountinfo. Empty when the hierarchy is not
// mounted or the process is not in it.
std::vector<std::filesystem::path> group_directories(const std::filesystem::path& root,
                                                     const Hierarchy& hierarchy);

}  // namespace tacitor::cgroup
