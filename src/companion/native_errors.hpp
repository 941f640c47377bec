#pragma once
// The one place where the companion module turns C++ exceptions into Python ones.
//
// Every function of tacitor_tools._native catches whatever its work threw and calls
// `set_error_from_current` inside the handler, so that each kind of failure becomes the same
// Python exception whichever function met it: a recoverable error text is ValueError, a
// cancelled call KeyboardInterrupt (or what the signal handler raised), a memory refusal
// MemoryError with its numbers, an exhausted allocation a bare MemoryError, and anything else
// InternalFailure, which derives from BaseException like the tacitor module's own.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace tacitor::companion {

// A recoverable error of the pipeline (bad bytes, a shape that cannot be planned), carried to
// the boundary as ValueError with its text.
struct ErrorText {
  std::string text;
};

// Sets the Python exception for the C++ one in flight; call it only inside a catch handler.
// An exception a signal handler left pending (KeyboardInterrupt) stays as it is.
void set_error_from_current() noexcept;

// Creates the InternalFailure class (once per process) and adds it to `module`; -1 with an
// exception set on failure.
int add_internal_failure(PyObject* module);

}  // namespace tacitor::companion
