#include "companion/native_errors.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "common/memory_refusal.hpp"

namespace tacitor::companion {
namespace {

PyObject* internal_failure_class = nullptr;

}  // namespace

void set_error_from_current() noexcept {
  try {
    throw;
  } catch (const ErrorText& error) {
    PyErr_SetString(PyExc_ValueError, error.text.c_str());
  } catch (const Cancelled&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_KeyboardInterrupt,
                      "stopped: Ctrl-C interrupted a call that ran at the same time");
    }
  } catch (const InternalFailure& failure) {
    failure.write_diagnostic(stderr);
    PyErr_SetString(internal_failure_class, failure.message().c_str());
  } catch (const MemoryRefusal& refusal) {
    PyErr_SetString(PyExc_MemoryError, refusal.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(internal_failure_class, error.what());
  } catch (...) {
    PyErr_SetString(internal_failure_class, "unknown native failure");
  }
}

int add_internal_failure(PyObject* module) {
  if (internal_failure_class == nullptr) {
    // Named like the tacitor module's class, so that code that recognises one recognises both.
    internal_failure_class = PyErr_NewExceptionWithDoc(
        "tacitor.InternalFailure",
        "An internal failure of tacitor's native code (a broken invariant or a numerical dead "
        "end). It derives from BaseException, not from Exception.",
        PyExc_BaseException, nullptr);
    if (internal_failure_class == nullptr) {
      return -1;
    }
  }
  return PyModule_AddObjectRef(module, "InternalFailure", internal_failure_class);
}

}  // namespace tacitor::companion
