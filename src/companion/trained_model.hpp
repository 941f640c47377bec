#pragma once
// tacitor_tools._native.TrainedModel: a trained model set that outlives the call that fitted
// it, and the module function `fit` that makes one.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tacitor::companion {

// Adds `fit`, `TrainedModel` and `InternalFailure` to the module; -1 with an exception set on
// failure.
int add_trained_models(PyObject* module);

}  // namespace tacitor::companion
