#pragma once
// The one place where C++ exceptions become Python exceptions.
//
// Inside the boundary, a failed C-API call throws PythonErrorPending: the interpreter already
// holds the exception it raised, and the throw only unwinds the C++ frames (releasing every
// Ref on the way). At the outermost frame of every entry from the interpreter (the module
// initialisation and the two functions) the catch-all handler calls
// set_python_error_from_current_exception(), which leaves exactly one Python exception set:
//   PythonErrorPending  -> the pending exception (SystemError if, wrongly, none is pending);
//   Cancelled           -> the exception a signal handler raised while the call waited for
//                          the pool (KeyboardInterrupt if, unusually, none is pending);
//   InternalFailure     -> the BaseException-derived `tacitor.InternalFailure` with its text,
//                          after one diagnostic line on standard error;
//   std::bad_alloc      -> MemoryError;
//   other exceptions    -> `tacitor.InternalFailure` with their what() text.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

namespace tacitor::py {

class PythonErrorPending : public std::exception {
 public:
  const char* what() const noexcept override { return "a Python exception is pending"; }
};

// Throws PythonErrorPending; the caller has just seen a C-API call fail.
[[noreturn]] void throw_pending();

// Returns `object` when it is not null, else throws PythonErrorPending (for results of C-API
// calls that return a new reference or null with an exception set).
PyObject* check(PyObject* object);

// Call inside a catch block only: converts the exception being handled as described above.
void set_python_error_from_current_exception() noexcept;

// Sets `tacitor.InternalFailure(text)` as the current exception, replacing any pending one.
void set_internal_failure_error(std::string_view text) noexcept;

// The class of internal failures, derived directly from BaseException and created on first
// use. Null with an exception set when it cannot be created.
PyObject* internal_failure_class() noexcept;

// Takes the pending exception and returns its str() ("" when none is pending), leaving no
// exception set. Used to put a Python failure into the text of an internal failure.
std::string take_pending_error_text();

// Sets the TypeError "'<type qualname>' object cannot be converted to '<target>'" for an
// object whose type is wrong, and throws PythonErrorPending.
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

// A str object for the UTF-8 `text`; undecodable bytes are replaced, so that a message never
// fails to become a string.
PyObject* to_str(std::string_view text);

}  // namespace tacitor::py
