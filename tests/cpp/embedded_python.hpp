#pragma once
// An interpreter embedded in a test binary, started once before the first test. It is never
// finalised: the process-wide log sink keeps Python objects until the process ends.
//
// Tests run on the main thread, which holds the interpreter lock.

#include <gtest/gtest.h>

#include <string>

#include "py_ref.hpp"

namespace tacitor::testing {

class EmbeddedPython : public ::testing::Environment {
 public:
  void SetUp() override {
    if (Py_IsInitialized()) {
      return;
    }
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
      Py_ExitStatusException(status);
    }
  }
};

inline ::testing::Environment* const embedded_python =
    ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

// Runs statements in __main__; a failure is printed and fails the test.
inline void run(const std::string& code) {
  if (PyRun_SimpleString(code.c_str()) != 0) {
    ADD_FAILURE() << "Python code failed:\n" << code;
  }
}

// Evaluates an expression in __main__ (null and a failed test on error).
inline py::Ref evaluate(const std::string& expression) {
  PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
  py::Ref result =
      py::Ref::steal(PyRun_String(expression.c_str(), Py_eval_input, globals, globals));
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "Python expression failed: " << expression;
  }
  return result;
}

// str() of an object as UTF-8.
inline std::string text_of(PyObject* object) {
  py::Ref text = py::Ref::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "<str() failed>";
  }
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  return utf8 == nullptr ? "<not UTF-8>" : utf8;
}

// Takes the pending exception (null when there is none).
inline py::Ref take_exception() {
  return py::Ref::steal(PyErr_GetRaisedException());
}

}  // namespace tacitor::testing
