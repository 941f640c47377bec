#pragma once
// The bridge from native log records to Python's `logging` module.
//
// A record for target "a::b" goes to the Python logger "a.b" at the matching level number
// (error 40, warning 30, info 20, debug 10, trace 5), built with the logger's `makeRecord` and
// passed to its `handle`, so that Python's handlers, filters and formatters apply as usual.
// Loggers and their effective levels are cached per target; the cache is an immutable map
// that is replaced as a whole, so readers on any thread never take a lock. The bridge takes
// the interpreter lock itself before it calls into Python; a Python exception raised there is
// printed and dropped, so logging never fails its caller.
//
// Because forwarding waits for the interpreter lock, native code must not emit records from
// a thread that the lock holder is waiting for (for example a worker of a call that keeps the
// lock while it joins its workers): the record would wait forever.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "common/log.hpp"
#include "py_ref.hpp"

namespace tacitor::logging_bridge {

// What the bridge remembers between records.
enum class Caching : std::uint8_t { nothing, loggers, loggers_and_levels };

// "a::b::c" -> "a.b.c".
std::string logger_name(std::string_view target);

// The Python level number of a native level.
int python_level(log::Level level) noexcept;

class PythonLogger final : public log::Sink {
 public:
  using Filters = std::map<std::string, log::LevelFilter, std::less<>>;

  // `logging` is a strong reference to Python's logging module. `filters` maps target paths
  // to the filter of every target at or below that path; other targets use `top_filter`.
  PythonLogger(py::Ref logging, log::LevelFilter top_filter, Filters filters, Caching caching);
  ~PythonLogger() override;
  PythonLogger(const PythonLogger&) = delete;
  PythonLogger& operator=(const PythonLogger&) = delete;

  bool enabled(std::string_view target, log::Level level) const noexcept override;
  void log(const log::Record& record) noexcept override;

  // The most permissive of the top-level and per-target filters: records above it can never
  // be kept, so the process-wide maximum level may discard them early.
  log::LevelFilter max_filter() const noexcept;

  // Forgets every cached logger and level, so that changes made in Python since are seen.
  void reset_cache() noexcept;

 private:
  struct CacheNode;
  using Cache = std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>>;

  log::LevelFilter filter_for(std::string_view target) const noexcept;
  std::shared_ptr<const CacheNode> cached(std::string_view target) const noexcept;
  // The following run with the interpreter lock held.
  std::shared_ptr<const CacheNode> resolve(std::string_view target, const std::string& name);
  void forward(const log::Record& record);

  py::Ref logging_;
  log::LevelFilter top_filter_;
  Filters filters_;
  Caching caching_;
  std::atomic<std::shared_ptr<const Cache>> cache_;
};

// Registers a PythonLogger (top-level filter debug, no per-target filters, caching loggers
// and levels) as the process-wide sink and lowers the process-wide maximum level to debug.
// Runs with the interpreter lock held; a repeated call after success does nothing. Failures
// are internal failures: `logging` cannot be imported, or another sink is registered.
void install();

}  // namespace tacitor::logging_bridge
