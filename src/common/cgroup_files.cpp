#include "common/cgroup_files.hpp"

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>

namespace tacitor::cgroup {
namespace {

bool has_token(std::string_view list, std::string_view token) {
  for (std::string_view part : split(list, ',')) {
    if (part == token) {
      return true;
    }
  }
  return false;
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
struct Mount {
  std::string mount_point;
  std::string root;
};

// Finds the mount of the hierarchy. Line format: id parent major:minor root mount-point
// options [optional...] - fstype source super-options.
std::optional<Mount> find_mount(std::string_view mountinfo, const Hierarchy& hierarchy) {
  for (std::string_view line : split(mountinfo, '\n')) {
    const std::vector<std::string_view> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 4) {
      continue;
    }
    const std::string_view fstype = dash[1];
    const std::string_view super_options = dash[3];
    const bool wanted = hierarchy.v2
                            ? fstype == "cgroup2"
                            : fstype == "cgroup" && has_token(super_options, hierarchy.controller);
    if (wanted) {
      return Mount{unescape_mount_path(fields[4]), unescape_mount_path(fields[3])};
    }
  }
  return std::nullopt;
}

// The process's group path in the hierarchy: "0::PATH" for v2, "ID:controller,...:PATH" for v1.
std::optional<std::string> find_group(std::string_view cgroup_file, const Hierarchy& hierarchy) {
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
    const bool wanted = hierarchy.v2 ? id == "0" && controllers.empty()
                                     : has_token(controllers, hierarchy.controller);
    if (wanted && !path.empty() && path.front() == '/') {
      return std::string(path);
    }
  }
  return std::nullopt;
}

}  // namespace

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

std::string_view first_line(std::string_view text) {
  return text.substr(0, text.find('\n'));
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

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

std::vector<std::filesystem::path> group_directories(const std::filesystem::path& root,
                                                     const Hierarchy& hierarchy) {
  const std::optional<std::string> cgroup_file = read_file(root / "proc/self/cgroup");
  const std::optional<std::string> mountinfo = read_file(root / "proc/self/mountinfo");
  if (!cgroup_file || !mountinfo) {
    return {};
  }
  const std::optional<Mount> mount = find_mount(*mountinfo, hierarchy);
  const std::optional<std::string> group = find_group(*cgroup_file, hierarchy);
  if (!mount || !group) {
    return {};
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
  std::vector<std::filesystem::path> directories{dir};
  for (const std::filesystem::path& part : relative.relative_path()) {
    if (part.empty() || part == "." || part == "..") {
      continue;
    }
    dir /= part;
    directories.push_back(dir);
  }
  return directories;
}

}  // namespace tacitor::cgroup
