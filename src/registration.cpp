#include "registration.hpp"

#include <deque>

#include "common/internal_failure.hpp"
#include "entry_points.hpp"
#include "exceptions.hpp"
#include "logging_bridge.hpp"

namespace tacitor::registration {
namespace {

constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

constexpr FunctionDescriptor kLinearRegression = {
    "denoise_linear_regression", entry_points::denoise_linear_regression, kFastCallWithKeywords,
    "denoise_linear_regression(samples, window_size, stride)\n--\n\nDenoise a set of "
    "time-series samples using linear regression.\n\n# Parameters\n\n* `samples`: The "
    "time-series samples to denoise.\n* `window_size`: The number of elements in each "
    "window.\n\n# Errors\n\n* Shape mismatch. Should not happen.\n\n# Returns\n\nThe "
    "denoised samples."};

constexpr FunctionDescriptor kDecisionTree = {
    "denoise_decision_tree", entry_points::denoise_decision_tree, kFastCallWithKeywords,
    "denoise_decision_tree(samples, window_size, stride)\n--\n\nDenoise a set of time-series "
    "samples using decision trees.\n\n# Parameters\n\n* `samples`: The time-series samples to "
    "denoise.\n* `window_size`: The number of elements in each window.\n\n# Errors\n\n* Shape "
    "mismatch. Should not happen.\n\n# Returns\n\nThe denoised samples."};

// A function object points at its method definition for as long as it lives, and nothing
// tells us when that ends; the definitions therefore stay, reachable, until the process exits.
std::deque<PyMethodDef>& method_definitions() {
  static auto* definitions = new std::deque<PyMethodDef>();
  return *definitions;
}

}  // namespace

py::Ref create_function(PyObject* module, const FunctionDescriptor& descriptor) {
  py::Ref module_name = py::Ref::steal(py::check(PyModule_GetNameObject(module)));
  // The detour through void (*)() tells the compiler that the differing signature is meant:
  // the flags tell the interpreter how to call the entry point.
  PyMethodDef& definition = method_definitions().emplace_back(
      PyMethodDef{descriptor.name,
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(descriptor.entry)),
                  descriptor.flags, descriptor.doc});
  return py::Ref::steal(py::check(PyCMethod_New(&definition, module, module_name.get(), nullptr)));
}

void add_function(PyObject* module, PyObject* function) {
  py::Ref name = py::Ref::steal(py::check(PyObject_GetAttrString(function, "__name__")));
  if (!PyUnicode_Check(name.get())) {
    py::throw_conversion_error(name.get(), "PyString");
  }
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      py::throw_pending();
    }
    PyErr_Clear();
    all = py::Ref::steal(py::check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      py::throw_pending();
    }
  } else if (!PyList_Check(all.get())) {
    py::throw_conversion_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    raise_internal_failure("could not append __name__ to __all__: " +
                           py::take_pending_error_text());
  }
  if (PyObject_SetAttr(module, name.get(), function) < 0) {
    py::throw_pending();
  }
}

void register_module(PyObject* module) {
  logging_bridge::install();
  for (const FunctionDescriptor* descriptor : {&kLinearRegression, &kDecisionTree}) {
    py::Ref function = create_function(module, *descriptor);
    add_function(module, function.get());
  }
}

}  // namespace tacitor::registration
