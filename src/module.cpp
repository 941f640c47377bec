// Module initialisation: the interpreter's import system calls PyInit_tacitor, the only
// exported symbol of libtacitor.so.
//
// The module uses single-phase initialisation with no per-module state, so CPython calls
// PyInit_tacitor again when the module is imported anew (for example after it was removed
// from sys.modules); every such call returns the one module object created by the first.
// The module keeps process-wide state (the logging bridge, the NumPy table, the worker pool)
// and therefore belongs to the first interpreter that imports it; other interpreters are
// refused.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "exceptions.hpp"
#include "py_ref.hpp"
#include "registration.hpp"

namespace {

constexpr int kModuleApiVersion = 1013;
constexpr std::int64_t kNoInterpreter = -1;

constexpr const char* kModuleDoc =
    "Python module that removes noise from batches of time series with windowed regression "
    "models.\n\n# Errors\n\n* If the module cannot be created.\n* If the function cannot be "
    "added to the module.";

// Claimed once by compare-and-exchange and never reset, even when the first initialisation
// fails after the claim.
std::atomic<std::int64_t> owning_interpreter{kNoInterpreter};

// The module, once created and registered; read and written under the interpreter lock.
PyObject* module_cell = nullptr;

// Handed to the interpreter, which keeps its address: it must outlive every module object.
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tacitor", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == kNoInterpreter) {
    tacitor::py::throw_pending();
  }
  std::int64_t expected = kNoInterpreter;
  if (!owning_interpreter.compare_exchange_strong(expected, current, std::memory_order_seq_cst) &&
      expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "tacitor does not support subinterpreters: it can only be imported by the "
                    "interpreter that imported it first");
    tacitor::py::throw_pending();
  }
  if (module_cell != nullptr) {
    return Py_NewRef(module_cell);
  }
  tacitor::py::Ref module =
      tacitor::py::Ref::steal(tacitor::py::check(PyModule_Create2(&definition, kModuleApiVersion)));
  tacitor::registration::register_module(module.get());
  // Registration runs Python code; should another initialisation have finished meanwhile,
  // its module stays and this one is released.
  if (module_cell == nullptr) {
    module_cell = module.release();
  }
  return Py_NewRef(module_cell);
}

}  // namespace

PyMODINIT_FUNC PyInit_tacitor() {
  try {
    return initialise();
  } catch (...) {
    tacitor::py::set_python_error_from_current_exception();
    return nullptr;
  }
}
