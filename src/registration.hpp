#pragma once
// The registration routine that fills a new module object: it installs the logging bridge and
// adds the two denoising functions and `__all__`.

#include "py_ref.hpp"

namespace tacitor::registration {

// One Python function: its name, its entry point, its call flags and its docstring (whose
// head "name(samples, window_size, stride)\n--\n\n" becomes the text signature).
struct FunctionDescriptor {
  using Entry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
  const char* name;
  Entry entry;
  int flags;
  const char* doc;
};

// Creates the built-in function of `descriptor` bound to `module`. Its method definition is
// allocated here and never freed: the function refers to it for the life of the process.
py::Ref create_function(PyObject* module, const FunctionDescriptor& descriptor);

// Sets `function` as the attribute of `module` named by the function's `__name__` and appends
// that name to the module's `__all__`, which is created when missing.
void add_function(PyObject* module, PyObject* function);

// Installs the logging bridge, then creates and adds both functions, stopping at the first
// failure (a Python exception or an internal failure, thrown).
void register_module(PyObject* module);

}  // namespace tacitor::registration
