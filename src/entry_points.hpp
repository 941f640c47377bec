#pragma once
// The two denoising functions as the interpreter calls them (fast calling convention with
// keywords). Each binds and converts its arguments, copies `samples`, trains its model set,
// denoises with it and returns the result as a new float32 array that owns the result
// buffer. Error texts of the pipeline become ValueError; internal failures become the
// BaseException-derived `tacitor.InternalFailure`. The interpreter lock stays held for the
// whole call.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tacitor::entry_points {

PyObject* denoise_linear_regression(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;

PyObject* denoise_decision_tree(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

}  // namespace tacitor::entry_points
