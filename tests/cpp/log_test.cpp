// The native logging facade: one process-wide sink, a maximum level in front of it.

#include "common/log.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tacitor::log {
namespace {

struct Seen {
  std::string target;
  Level level;
  std::string message;
  std::optional<std::string> file;
  std::optional<std::uint32_t> line;
};

// Records everything it is given; enabled() refuses the target "muted".
class RecordingSink final : public Sink {
 public:
  bool enabled(std::string_view target, Level) const noexcept override { return target != "muted"; }
  void log(const Record& record) noexcept override {
    std::lock_guard lock(mutex_);
    seen_.push_back({std::string(record.target), record.level, std::string(record.message),
                     record.file ? std::optional<std::string>(*record.file) : std::nullopt,
                     record.line});
  }
  std::vector<Seen> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(seen_, {});
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
};

// The sink can be registered once per process; every test shares this one.
RecordingSink& shared_sink() {
  static RecordingSink* const sink = [] {
    auto owned = std::make_unique<RecordingSink>();
    RecordingSink* raw = owned.get();
    EXPECT_TRUE(set_sink(std::move(owned)));
    return raw;
  }();
  return *sink;
}

TEST(LogLevels, FiltersOrderFromOffToTrace) {
  EXPECT_TRUE(passes(Level::error, LevelFilter::error));
  EXPECT_FALSE(passes(Level::warning, LevelFilter::error));
  EXPECT_FALSE(passes(Level::error, LevelFilter::off));
  EXPECT_TRUE(passes(Level::trace, LevelFilter::trace));
  EXPECT_TRUE(passes(Level::info, LevelFilter::debug));
  EXPECT_FALSE(passes(Level::trace, LevelFilter::debug));
  EXPECT_EQ(level_name(Level::warning), "warning");
  EXPECT_EQ(level_name(Level::trace), "trace");
}

TEST(LogSink, RecordsAboveTheMaximumNeverReachTheSink) {
  RecordingSink& sink = shared_sink();
  sink.take();
  set_max_level(LevelFilter::debug);
  EXPECT_EQ(max_level(), LevelFilter::debug);
  for (Level level : {Level::error, Level::warning, Level::info, Level::debug, Level::trace}) {
    write(level, "tacitor::test", std::string(level_name(level)));
  }
  const std::vector<Seen> seen = sink.take();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].level, Level::error);
  EXPECT_EQ(seen[3].level, Level::debug);
  EXPECT_EQ(seen[3].message, "debug");

  set_max_level(LevelFilter::off);
  write(Level::error, "tacitor::test", "dropped");
  EXPECT_TRUE(sink.take().empty());
  set_max_level(LevelFilter::debug);
}

TEST(LogSink, WriteRecordsTheCallersFileAndLine) {
  RecordingSink& sink = shared_sink();
  sink.take();
  set_max_level(LevelFilter::trace);
  const std::uint32_t line = __LINE__ + 1;
  write(Level::info, "a::b", "here");
  const std::vector<Seen> seen = sink.take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "a::b");
  ASSERT_TRUE(seen[0].file.has_value());
  EXPECT_NE(seen[0].file->find("log_test.cpp"), std::string::npos);
  EXPECT_EQ(seen[0].line, line);

  Record bare;
  bare.target = "a";
  bare.level = Level::warning;
  bare.message = "no place";
  emit(bare);
  const std::vector<Seen> bare_seen = sink.take();
  ASSERT_EQ(bare_seen.size(), 1u);
  EXPECT_FALSE(bare_seen[0].file.has_value());
  EXPECT_FALSE(bare_seen[0].line.has_value());
}

TEST(LogSink, SecondRegistrationFailsAndKeepsTheFirst) {
  RecordingSink& sink = shared_sink();
  EXPECT_FALSE(set_sink(std::make_unique<RecordingSink>()));
  EXPECT_EQ(log::sink(), &sink);
}

TEST(LogSink, EnabledAsksTheMaximumThenTheSink) {
  shared_sink();
  set_max_level(LevelFilter::info);
  EXPECT_TRUE(enabled("x", Level::info));
  EXPECT_FALSE(enabled("x", Level::debug));
  EXPECT_FALSE(enabled("muted", Level::error));
  set_max_level(LevelFilter::debug);
}

TEST(LogSink, ConcurrentWritersLoseNoRecord) {
  RecordingSink& sink = shared_sink();
  sink.take();
  set_max_level(LevelFilter::debug);
  constexpr int kThreads = 4;
  constexpr int kRecords = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) {
        write(i % 2 == 0 ? Level::info : Level::trace, "threads", std::to_string(t));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  const std::vector<Seen> seen = sink.take();
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecords / 2));
}

}  // namespace
}  // namespace tacitor::log
