#pragma once
// The native logging facade: records produced anywhere in the process go to one sink.
//
// A record names its target (a path of components separated by "::", such as
// "tacitor::models"), its level, its message and, optionally, the source file and line that
// produced it. The sink is registered once per process and never replaced or freed; until one
// is registered, records are dropped. A process-wide maximum level discards records above it
// before they reach the sink, so that disabled levels cost one atomic load.
//
// Thread safety: every function may be called from any thread at any time. The sink is
// published with release/acquire ordering, so a thread that sees it sees it fully built; the
// sink itself must accept concurrent calls.

#include <cstdint>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace tacitor::log {

// Ordered from most to least severe: a record passes a filter when its level is at most the
// filter's.
enum class Level : std::uint8_t { error = 1, warning = 2, info = 3, debug = 4, trace = 5 };

// A level filter: `off` lets nothing through, `trace` everything.
enum class LevelFilter : std::uint8_t {
  off = 0,
  error = 1,
  warning = 2,
  info = 3,
  debug = 4,
  trace = 5
};

constexpr bool passes(Level level, LevelFilter filter) noexcept {
  return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

std::string_view level_name(Level level) noexcept;

struct Record {
  std::string_view target;
  Level level = Level::info;
  std::string_view message;
  std::optional<std::string_view> file;
  std::optional<std::uint32_t> line;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Whether a record of `level` for `target` would be kept; lets callers skip formatting.
  virtual bool enabled(std::string_view target, Level level) const noexcept = 0;
  // Handles one record. Must not throw: a failing sink drops the record.
  virtual void log(const Record& record) noexcept = 0;
};

// Registers the process-wide sink. Returns false, and drops `sink`, when one is already
// registered.
bool set_sink(std::unique_ptr<Sink> sink);

// The registered sink, or null.
Sink* sink() noexcept;

void set_max_level(LevelFilter filter) noexcept;
LevelFilter max_level() noexcept;

// Whether a record of `level` for `target` would reach the sink and be kept there.
bool enabled(std::string_view target, Level level) noexcept;

// Passes the record to the sink unless it is above the maximum level or there is no sink.
void emit(const Record& record) noexcept;

// Emits a record whose file and line are those of the caller.
void write(Level level, std::string_view target, std::string_view message,
           std::source_location where = std::source_location::current()) noexcept;

}  // namespace tacitor::log
