#pragma once
// The companion's names of the two methods, "linear" and "tree", as the native module's
// functions take them.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "models/memory_plan.hpp"

namespace tacitor::companion {

// The method `name` names; nothing, with ValueError set, for any other object.
std::optional<models::Method> method_of(PyObject* name);

}  // namespace tacitor::companion
