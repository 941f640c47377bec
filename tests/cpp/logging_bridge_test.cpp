// The logging bridge against a real interpreter: records reach Python's `logging` with the
// right logger, level, place and message; levels and loggers are cached; failures of Python
// code never reach the caller.

#include "logging_bridge.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_failure.hpp"
#include "embedded_python.hpp"

namespace tacitor::logging_bridge {
namespace {

using testing::evaluate;
using testing::run;

// A handler on the root logger that keeps (name, levelno, pathname, lineno, message, args,
// exc_info) of every record it is given, and a function that returns and clears them.
constexpr const char* kCollector = R"(
import logging
class Collector(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.seen = []
    def emit(self, record):
        self.seen.append((record.name, record.levelno, record.pathname, record.lineno,
                          record.getMessage(), record.args, record.exc_info))
collector = Collector()
logging.getLogger().addHandler(collector)
logging.getLogger().setLevel(logging.DEBUG)
def taken():
    seen, collector.seen = collector.seen, []
    return seen
)";

class LoggingBridge : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { run(kCollector); }
  void SetUp() override { run("taken()\nlogging.getLogger().setLevel(logging.DEBUG)"); }

  static PythonLogger make(Caching caching = Caching::loggers_and_levels,
                           log::LevelFilter top = log::LevelFilter::trace,
                           PythonLogger::Filters filters = {}) {
    return PythonLogger(py::Ref::steal(PyImport_ImportModule("logging")), top, std::move(filters),
                        caching);
  }

  static log::Record record(std::string_view target, log::Level level, std::string_view message,
                            std::optional<std::string_view> file = std::nullopt,
                            std::optional<std::uint32_t> line = std::nullopt) {
    log::Record r;
    r.target = target;
    r.level = level;
    r.message = message;
    r.file = file;
    r.line = line;
    return r;
  }

  // The collected records as their Python repr.
  static std::string taken() { return testing::text_of(evaluate("repr(taken())").get()); }
};

TEST(LoggerNames, PathSeparatorsBecomeDots) {
  EXPECT_EQ(logger_name("tacitor::models::classical"), "tacitor.models.classical");
  EXPECT_EQ(logger_name("tacitor"), "tacitor");
  EXPECT_EQ(logger_name(""), "");
  EXPECT_EQ(logger_name("a:b::c:::d"), "a:b.c.:d");
}

TEST(LoggerNames, LevelNumbers) {
  EXPECT_EQ(python_level(log::Level::error), 40);
  EXPECT_EQ(python_level(log::Level::warning), 30);
  EXPECT_EQ(python_level(log::Level::info), 20);
  EXPECT_EQ(python_level(log::Level::debug), 10);
  EXPECT_EQ(python_level(log::Level::trace), 5);
}

TEST_F(LoggingBridge, EveryLevelIsForwardedWithItsPlace) {
  run("logging.getLogger().setLevel(1)");
  PythonLogger bridge = make();
  bridge.log(record("app::part", log::Level::error, "e", "src/x.cpp", 12));
  bridge.log(record("app::part", log::Level::warning, "w", "src/x.cpp", 13));
  bridge.log(record("app::part", log::Level::info, "i"));
  bridge.log(record("app", log::Level::debug, "d 100%s {}", "y.hpp", 1));
  bridge.log(record("app::part::deep", log::Level::trace, "t\u00e9"));
  EXPECT_EQ(taken(),
            "[('app.part', 40, 'src/x.cpp', 12, 'e', (), None), "
            "('app.part', 30, 'src/x.cpp', 13, 'w', (), None), "
            "('app.part', 20, None, 0, 'i', (), None), "
            "('app', 10, 'y.hpp', 1, 'd 100%s {}', (), None), "
            "('app.part.deep', 5, None, 0, 't\u00e9', (), None)]");
}

TEST_F(LoggingBridge, EffectiveLevelOfThePythonLoggerDecides) {
  run("logging.getLogger('quiet').setLevel(logging.WARNING)");
  PythonLogger bridge = make();
  for (log::Level level : {log::Level::trace, log::Level::debug, log::Level::info,
                           log::Level::warning, log::Level::error}) {
    bridge.log(record("quiet::child", level, log::level_name(level)));
  }
  EXPECT_EQ(taken(),
            "[('quiet.child', 30, None, 0, 'warning', (), None), "
            "('quiet.child', 40, None, 0, 'error', (), None)]");
  EXPECT_FALSE(bridge.enabled("quiet::child", log::Level::info));
  EXPECT_TRUE(bridge.enabled("quiet::child", log::Level::warning));
  run("logging.getLogger('quiet').setLevel(logging.NOTSET)");
}

TEST_F(LoggingBridge, LevelsAreCachedUntilReset) {
  run("logging.getLogger('cached').setLevel(logging.ERROR)");
  PythonLogger bridge = make(Caching::loggers_and_levels);
  bridge.log(record("cached", log::Level::info, "before"));
  run("logging.getLogger('cached').setLevel(logging.DEBUG)");
  bridge.log(record("cached", log::Level::info, "still filtered"));
  EXPECT_EQ(taken(), "[]");
  bridge.reset_cache();
  bridge.log(record("cached", log::Level::info, "after reset"));
  EXPECT_EQ(taken(), "[('cached', 20, None, 0, 'after reset', (), None)]");
}

TEST_F(LoggingBridge, WithoutLevelCachingChangesAreSeenAtOnce) {
  run("logging.getLogger('live').setLevel(logging.ERROR)");
  for (Caching caching : {Caching::loggers, Caching::nothing}) {
    PythonLogger bridge = make(caching);
    bridge.log(record("live", log::Level::info, "filtered"));
    run("logging.getLogger('live').setLevel(logging.DEBUG)");
    bridge.log(record("live", log::Level::info, "seen"));
    EXPECT_EQ(taken(), "[('live', 20, None, 0, 'seen', (), None)]");
    run("logging.getLogger('live').setLevel(logging.ERROR)");
  }
}

TEST_F(LoggingBridge, NativeFiltersApplyBeforePython) {
  run("logging.getLogger().setLevel(1)");
  PythonLogger::Filters filters;
  filters.emplace("noisy", log::LevelFilter::error);
  filters.emplace("noisy::chatty", log::LevelFilter::trace);
  PythonLogger bridge = make(Caching::loggers_and_levels, log::LevelFilter::info, filters);
  EXPECT_EQ(bridge.max_filter(), log::LevelFilter::trace);
  bridge.log(record("other", log::Level::debug, "above the top filter"));
  bridge.log(record("noisy::x", log::Level::warning, "above its path filter"));
  bridge.log(record("noisyish", log::Level::info, "top filter, not noisy's"));
  bridge.log(record("noisy::chatty::x", log::Level::trace, "the longer path wins"));
  EXPECT_EQ(taken(),
            "[('noisyish', 20, None, 0, \"top filter, not noisy's\", (), None), "
            "('noisy.chatty.x', 5, None, 0, 'the longer path wins', (), None)]");
  EXPECT_FALSE(bridge.enabled("noisy", log::Level::warning));
  EXPECT_TRUE(bridge.enabled("noisy::chatty", log::Level::trace));
}

TEST_F(LoggingBridge, PythonFailuresArePrintedAndDropped) {
  run(R"(
class Exploding(logging.Handler):
    def emit(self, record):
        raise RuntimeError('handler exploded')
    def handleError(self, record):
        raise
logging.getLogger('boom').addHandler(Exploding())
)");
  PythonLogger bridge = make();
  ::testing::internal::CaptureStderr();
  bridge.log(record("boom", log::Level::error, "first"));
  bridge.log(record("boom", log::Level::error, "second"));
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_NE(printed.find("handler exploded"), std::string::npos) << printed;
  // The failure ended the handling before the root logger's collector was reached.
  EXPECT_EQ(taken(), "[]");

  run("import sys\nclass Exiting(logging.Handler):\n"
      "    def emit(self, record): raise SystemExit(3)\n"
      "    def handleError(self, record): raise\n"
      "logging.getLogger('exit').addHandler(Exiting())");
  ::testing::internal::CaptureStderr();
  bridge.log(record("exit", log::Level::error, "must not end the process"));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST_F(LoggingBridge, RecordsFromThreadsWithoutTheLock) {
  PythonLogger bridge = make();
  constexpr int kThreads = 4;
  constexpr int kRecords = 50;
  PyThreadState* main_thread = PyEval_SaveThread();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&bridge, t] {
      const std::string target = "threads::t" + std::to_string(t);
      for (int i = 0; i < kRecords; ++i) {
        bridge.log(record(target, log::Level::info, std::to_string(i)));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  PyEval_RestoreThread(main_thread);
  py::Ref counts =
      evaluate("sorted(__import__('collections').Counter(name for name, *_ in taken()).items())");
  EXPECT_EQ(testing::text_of(counts.get()),
            "[('threads.t0', 50), ('threads.t1', 50), ('threads.t2', 50), ('threads.t3', 50)]");
  // Every target was cached exactly once, whatever the interleaving.
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(bridge.enabled("threads::t" + std::to_string(t), log::Level::info));
  }
}

TEST_F(LoggingBridge, InstalledBridgeReceivesTheProcessRecords) {
  install();
  install();  // once installed, a repeated installation changes nothing
  EXPECT_NE(log::sink(), nullptr);
  EXPECT_EQ(log::max_level(), log::LevelFilter::debug);
  const std::uint32_t line = __LINE__ + 1;
  log::write(log::Level::info, "tacitor::test", "through the facade");
  log::write(log::Level::trace, "tacitor::test", "dropped before the bridge");
  log::write(log::Level::debug, "tacitor::test", "debug passes");
  py::Ref seen = evaluate(
      "[(n, l, p.rsplit('/', 1)[-1], ln, m) for n, l, p, ln, m, *_ in "
      "taken()]");
  EXPECT_EQ(testing::text_of(seen.get()),
            "[('tacitor.test', 20, 'logging_bridge_test.cpp', " + std::to_string(line) +
                ", 'through the facade'), ('tacitor.test', 10, 'logging_bridge_test.cpp', " +
                std::to_string(line + 2) + ", 'debug passes')]");
}

// A sink registered by something else makes the installation an internal failure. It runs in
// a fresh process, since the sink can be registered only once per process.
class ForeignSink final : public log::Sink {
 public:
  bool enabled(std::string_view, log::Level) const noexcept override { return true; }
  void log(const log::Record&) noexcept override {}
};

TEST(LoggingBridgeDeathTest, ForeignSinkMakesInstallationFail) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ASSERT_TRUE(log::set_sink(std::make_unique<ForeignSink>()));
        try {
          install();
        } catch (const InternalFailure& failure) {
          const bool expected =
              failure.message().starts_with("Failed to initialize python logging");
          std::exit(expected ? 0 : 2);
        }
        std::exit(1);
      },
      // Nothing printed: the module boundary writes the diagnostic when the failure ends
      // the import.
      ::testing::ExitedWithCode(0), "^$");
}

TEST(LoggingBridgeDeathTest, LoggingThatCannotBeImportedIsAnInternalFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testing::run("import sys\nsys.modules['logging'] = None");
        try {
          install();
        } catch (const InternalFailure& failure) {
          const bool expected =
              failure.message().starts_with("Failed to initialize python logging: ") &&
              failure.message().find("logging") != std::string::npos;
          std::exit(expected && log::sink() == nullptr && !PyErr_Occurred() ? 0 : 2);
        }
        std::exit(1);
      },
      // Nothing printed: the module boundary writes the diagnostic when the failure ends
      // the import.
      ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace tacitor::logging_bridge
