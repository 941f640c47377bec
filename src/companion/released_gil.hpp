#pragma once
// Running native work with the interpreter lock released, still stoppable by Ctrl-C.
//
// A long fit must not stop a server's or a GUI's other Python threads, so the companion's
// calls give the lock up while the core works. Signals are still handled: the wait hook takes
// the lock back every wait interval, runs the interpreter's signal handlers (they run on the
// main thread only; elsewhere this does nothing) and gives the lock up again. A handler that
// raises (KeyboardInterrupt for Ctrl-C) leaves its exception pending on this thread and
// cancels the operation; the caller then raises it.
//
// The cancellation flag serves the whole process. It is cleared when the first of the calls
// running at once starts, never while another call runs, so that no call loses the request
// to stop that Ctrl-C made while it ran. A call stopped by a request that another thread's
// Ctrl-C made ends with KeyboardInterrupt too.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <utility>

#include "common/cancellation.hpp"
#include "pool/outside_wait.hpp"

namespace tacitor::companion {

namespace detail {
inline thread_local PyThreadState* released_state = nullptr;
inline std::atomic<std::size_t> calls_in_flight{0};

inline bool signals_while_released() noexcept {
  PyEval_RestoreThread(released_state);
  const bool raised = PyErr_CheckSignals() != 0;
  released_state = PyEval_SaveThread();
  return raised;
}

class InFlight {
 public:
  InFlight() noexcept {
    if (calls_in_flight.fetch_add(1) == 0) {
      clear_cancellation();
    }
  }
  ~InFlight() { calls_in_flight.fetch_sub(1); }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
};

class Released {
 public:
  Released() noexcept : previous_(std::exchange(released_state, PyEval_SaveThread())) {}
  ~Released() { PyEval_RestoreThread(std::exchange(released_state, previous_)); }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  PyThreadState* previous_;
};
}  // namespace detail

// Runs `work` without the interpreter lock; it must touch no Python object. Exceptions pass
// through, with the lock held again.
template <class Work>
decltype(auto) without_interpreter_lock(Work&& work) {
  const detail::InFlight in_flight;
  const pool::ScopedWaitHook signal_checks(&detail::signals_while_released);
  const detail::Released released;
  return std::forward<Work>(work)();
}

}  // namespace tacitor::companion
