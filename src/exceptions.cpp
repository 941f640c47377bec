#include "exceptions.hpp"

#include <cstdio>
#include <new>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "common/memory_refusal.hpp"
#include "py_ref.hpp"

namespace tacitor::py {
namespace {

constexpr const char* kNoExceptionText = "attempted to fetch exception but none was set";
// The argument of an internal failure that carries no text of its own.
constexpr std::string_view kGenericFailureText = "internal failure without a message";

constexpr const char* kInternalFailureDoc =
    "Raised when tacitor meets a condition that valid input never produces (a broken "
    "invariant or a numerical dead end).\n\nIt derives from BaseException, not from Exception, "
    "so that handlers for ordinary errors do not swallow it. Its only argument is the text of "
    "the failure; a diagnostic with the failure's source location has been written to standard "
    "error.";

// The class, created once per process under the interpreter lock and never released.
PyObject* internal_failure_type = nullptr;

// One line per failed call or import, written here rather than where the failure happened:
// when several estimators fail at once, only the failure that reaches the caller is shown.
// This is the line of a failure that carries no source location.
void print_diagnostic(std::string_view text) noexcept {
  std::fprintf(stderr, "tacitor: internal failure: %.*s\n", static_cast<int>(text.size()),
               text.data());
  std::fflush(stderr);
}

std::string utf8_of(PyObject* text) {
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

void throw_pending() {
  throw PythonErrorPending();
}

PyObject* check(PyObject* object) {
  if (object == nullptr) {
    throw_pending();
  }
  return object;
}

PyObject* internal_failure_class() noexcept {
  if (internal_failure_type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("tacitor.InternalFailure", kInternalFailureDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) {
      return nullptr;
    }
    // Creating the class runs no Python code that could have created it meanwhile, but keep
    // the first one should that ever change.
    if (internal_failure_type == nullptr) {
      internal_failure_type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return internal_failure_type;
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void set_internal_failure_error(std::string_view text) noexcept {
  // The internal failure replaces whatever was pending.
  Py_XDECREF(PyErr_GetRaisedException());
  PyObject* type = internal_failure_class();
  if (type == nullptr) {
    return;
  }
  Ref message = Ref::steal(to_str(text.empty() ? kGenericFailureText : text));
  if (!message) {
    return;
  }
  PyErr_SetObject(type, message.get());
}

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorPending&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, kNoExceptionText);
    }
  } catch (const Cancelled&) {
    // A signal handler's exception is pending (set by the wait hook); a cancellation that
    // came without one is an interrupt all the same.
    if (!PyErr_Occurred()) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
  } catch (const InternalFailure& failure) {
    failure.write_diagnostic(stderr);
    set_internal_failure_error(failure.message());
  } catch (const std::bad_alloc& error) {
    PyErr_Clear();
    // A refusal before allocating carries its numbers; plain exhaustion has nothing to say.
    if (dynamic_cast<const MemoryRefusal*>(&error) != nullptr) {
      PyErr_SetString(PyExc_MemoryError, error.what());
    } else {
      PyErr_NoMemory();
    }
  } catch (const std::exception& error) {
    try {
      const std::string text = error.what();
      print_diagnostic(text);
      set_internal_failure_error(text);
    } catch (...) {
      PyErr_NoMemory();
    }
  } catch (...) {
    print_diagnostic(kGenericFailureText);
    set_internal_failure_error(kGenericFailureText);
  }
}

std::string take_pending_error_text() {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!error) {
    return {};
  }
  std::string text = Py_TYPE(error.get())->tp_name;
  Ref message = Ref::steal(PyObject_Str(error.get()));
  if (!message) {
    PyErr_Clear();
    return text;
  }
  const std::string detail = utf8_of(message.get());
  if (!detail.empty()) {
    text += ": ";
    text += detail;
  }
  return text;
}

void throw_conversion_error(PyObject* object, const char* target) {
  Ref type_name = Ref::steal(check(PyType_GetQualName(Py_TYPE(object))));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  throw_pending();
}

}  // namespace tacitor::py
