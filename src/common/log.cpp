#include "common/log.hpp"

#include <atomic>

namespace tacitor::log {
namespace {

// Set once, never freed: records may be emitted until the process ends, from any thread.
std::atomic<Sink*> registered_sink{nullptr};
// Nothing is logged until a sink says what it wants.
std::atomic<std::uint8_t> maximum{static_cast<std::uint8_t>(LevelFilter::off)};

}  // namespace

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::error:
      return "error";
    case Level::warning:
      return "warning";
    case Level::info:
      return "info";
    case Level::debug:
      return "debug";
    case Level::trace:
      return "trace";
  }
  return "unknown";
}

bool set_sink(std::unique_ptr<Sink> sink) {
  Sink* expected = nullptr;
  if (!registered_sink.compare_exchange_strong(expected, sink.get(), std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
    return false;
  }
  sink.release();
  return true;
}

Sink* sink() noexcept {
  return registered_sink.load(std::memory_order_acquire);
}

void set_max_level(LevelFilter filter) noexcept {
  maximum.store(static_cast<std::uint8_t>(filter), std::memory_order_relaxed);
}

LevelFilter max_level() noexcept {
  return static_cast<LevelFilter>(maximum.load(std::memory_order_relaxed));
}

bool enabled(std::string_view target, Level level) noexcept {
  if (!passes(level, max_level())) {
    return false;
  }
  const Sink* current = sink();
  return current != nullptr && current->enabled(target, level);
}

void emit(const Record& record) noexcept {
  if (!passes(record.level, max_level())) {
    return;
  }
  if (Sink* current = sink()) {
    current->log(record);
  }
}

void write(Level level, std::string_view target, std::string_view message,
           std::source_location where) noexcept {
  Record record;
  record.target = target;
  record.level = level;
  record.message = message;
  record.file = std::string_view(where.file_name());
  record.line = where.line();
  emit(record);
}

}  // namespace tacitor::log
