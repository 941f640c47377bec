#include "logging_bridge.hpp"

#include <climits>
#include <utility>

#include "common/internal_failure.hpp"
#include "exceptions.hpp"

namespace tacitor::logging_bridge {
namespace {

// The levels a native record can have, from the most verbose up, in Python's numbering.
constexpr int kPythonLevels[] = {5, 10, 20, 30, 40};
// Effective level of a logger that is enabled for none of them.
constexpr int kDisabled = INT_MAX;

// Holds the interpreter lock for one scope; works whether or not the thread already holds it.
class GilScope {
 public:
  GilScope() noexcept : state_(PyGILState_Ensure()) {}
  ~GilScope() { PyGILState_Release(state_); }
  GilScope(const GilScope&) = delete;
  GilScope& operator=(const GilScope&) = delete;

 private:
  PyGILState_STATE state_;
};

// Whether `prefix` is `target` or one of its ancestors in the "::" path.
bool is_path_prefix(std::string_view prefix, std::string_view target) noexcept {
  if (!target.starts_with(prefix)) {
    return false;
  }
  const std::string_view rest = target.substr(prefix.size());
  return prefix.empty() || rest.empty() || rest.starts_with("::");
}

// Asks `logger.isEnabledFor(level)`.
bool is_enabled_for(PyObject* logger, int level) {
  py::Ref answer =
      py::Ref::steal(py::check(PyObject_CallMethod(logger, "isEnabledFor", "i", level)));
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) {
    py::throw_pending();
  }
  return truth == 1;
}

}  // namespace

struct PythonLogger::CacheNode {
  py::Ref logger;
  // The lowest Python level the logger is enabled for; absent unless levels are cached.
  std::optional<int> level;

  CacheNode(py::Ref python_logger, std::optional<int> effective_level)
      : logger(std::move(python_logger)), level(effective_level) {}
  // The last cache holding a node may be dropped on any thread, so the release of the logger
  // takes the interpreter lock itself.
  ~CacheNode() {
    if (Py_IsInitialized()) {
      GilScope gil;
      logger = py::Ref();
    } else {
      logger.release();
    }
  }
};

std::string logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

int python_level(log::Level level) noexcept {
  switch (level) {
    case log::Level::error:
      return 40;
    case log::Level::warning:
      return 30;
    case log::Level::info:
      return 20;
    case log::Level::debug:
      return 10;
    case log::Level::trace:
      return 5;
  }
  return 0;
}

PythonLogger::PythonLogger(py::Ref logging, log::LevelFilter top_filter, Filters filters,
                           Caching caching)
    : logging_(std::move(logging)),
      top_filter_(top_filter),
      filters_(std::move(filters)),
      caching_(caching),
      cache_(std::make_shared<const Cache>()) {}

PythonLogger::~PythonLogger() {
  // The cache's nodes take the interpreter lock themselves; the module reference needs it too.
  cache_.store(nullptr);
  if (Py_IsInitialized()) {
    GilScope gil;
    logging_ = py::Ref();
  } else {
    logging_.release();
  }
}

log::LevelFilter PythonLogger::filter_for(std::string_view target) const noexcept {
  log::LevelFilter filter = top_filter_;
  std::size_t matched = 0;
  bool found = false;
  for (const auto& [path, path_filter] : filters_) {
    if (is_path_prefix(path, target) && (!found || path.size() >= matched)) {
      filter = path_filter;
      matched = path.size();
      found = true;
    }
  }
  return filter;
}

log::LevelFilter PythonLogger::max_filter() const noexcept {
  log::LevelFilter highest = top_filter_;
  for (const auto& entry : filters_) {
    if (entry.second > highest) {
      highest = entry.second;
    }
  }
  return highest;
}

std::shared_ptr<const PythonLogger::CacheNode> PythonLogger::cached(
    std::string_view target) const noexcept {
  const std::shared_ptr<const Cache> cache = cache_.load();
  if (!cache) {
    return nullptr;
  }
  const auto found = cache->find(target);
  return found == cache->end() ? nullptr : found->second;
}

bool PythonLogger::enabled(std::string_view target, log::Level level) const noexcept {
  if (!log::passes(level, filter_for(target))) {
    return false;
  }
  const std::shared_ptr<const CacheNode> node = cached(target);
  return !node || !node->level || python_level(level) >= *node->level;
}

void PythonLogger::reset_cache() noexcept {
  cache_.store(std::make_shared<const Cache>());
}

std::shared_ptr<const PythonLogger::CacheNode> PythonLogger::resolve(std::string_view target,
                                                                     const std::string& name) {
  if (std::shared_ptr<const CacheNode> node = cached(target)) {
    return node;
  }
  py::Ref python_name = py::Ref::steal(py::check(py::to_str(name)));
  py::Ref logger = py::Ref::steal(
      py::check(PyObject_CallMethod(logging_.get(), "getLogger", "O", python_name.get())));
  std::optional<int> level;
  if (caching_ == Caching::loggers_and_levels) {
    level = kDisabled;
    for (const int candidate : kPythonLevels) {
      if (is_enabled_for(logger.get(), candidate)) {
        level = candidate;
        break;
      }
    }
  }
  auto node = std::make_shared<const CacheNode>(std::move(logger), level);
  if (caching_ == Caching::nothing) {
    return node;
  }
  // Python code run above may have let another thread resolve the same target: its node wins,
  // and an update made meanwhile for another target is never lost.
  std::shared_ptr<const Cache> current = cache_.load();
  while (true) {
    if (current) {
      const auto found = current->find(target);
      if (found != current->end()) {
        return found->second;
      }
    }
    auto next = current ? std::make_shared<Cache>(*current) : std::make_shared<Cache>();
    next->emplace(std::string(target), node);
    if (cache_.compare_exchange_weak(current, std::shared_ptr<const Cache>(std::move(next)))) {
      return node;
    }
  }
}

void PythonLogger::forward(const log::Record& record) {
  const std::string name = logger_name(record.target);
  const int level = python_level(record.level);
  const std::shared_ptr<const CacheNode> node = resolve(record.target, name);
  const bool on = node->level ? level >= *node->level : is_enabled_for(node->logger.get(), level);
  if (!on) {
    return;
  }
  py::Ref python_name = py::Ref::steal(py::check(py::to_str(name)));
  py::Ref message = py::Ref::steal(py::check(py::to_str(record.message)));
  py::Ref file =
      record.file ? py::Ref::steal(py::check(py::to_str(*record.file))) : py::Ref::borrow(Py_None);
  py::Ref line = py::Ref::steal(py::check(PyLong_FromUnsignedLong(record.line.value_or(0))));
  py::Ref no_arguments = py::Ref::steal(py::check(PyTuple_New(0)));
  py::Ref python_record = py::Ref::steal(py::check(
      PyObject_CallMethod(node->logger.get(), "makeRecord", "OiOOOOO", python_name.get(), level,
                          file.get(), line.get(), message.get(), no_arguments.get(), Py_None)));
  py::Ref handled = py::Ref::steal(
      py::check(PyObject_CallMethod(node->logger.get(), "handle", "O", python_record.get())));
}

void PythonLogger::log(const log::Record& record) noexcept {
  if (!log::passes(record.level, filter_for(record.target)) || !Py_IsInitialized()) {
    return;
  }
  GilScope gil;
  try {
    forward(record);
  } catch (const py::PythonErrorPending&) {
    // PyErr_Print would end the process on SystemExit; a log record must never do that.
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
      PyErr_WriteUnraisable(nullptr);
    } else if (PyErr_Occurred()) {
      PyErr_Print();
    }
  } catch (...) {
    // Out of memory while forwarding: the record is lost, the caller carries on.
    PyErr_Clear();
  }
}

void install() {
  // Registration may run again after a failed import; the bridge from that attempt stays.
  static bool installed = false;
  if (installed) {
    return;
  }
  py::Ref name = py::Ref::steal(PyUnicode_FromString("logging"));
  py::Ref logging = name ? py::Ref::steal(PyImport_Import(name.get())) : py::Ref();
  if (!logging) {
    raise_internal_failure("Failed to initialize python logging: " + py::take_pending_error_text());
  }
  auto bridge =
      std::make_unique<PythonLogger>(std::move(logging), log::LevelFilter::debug,
                                     PythonLogger::Filters{}, Caching::loggers_and_levels);
  const log::LevelFilter maximum = bridge->max_filter();
  if (!log::set_sink(std::move(bridge))) {
    raise_internal_failure(
        "Failed to initialize python logging: another native log sink is already registered");
  }
  log::set_max_level(maximum);
  installed = true;
}

}  // namespace tacitor::logging_bridge
