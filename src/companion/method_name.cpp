#include "companion/method_name.hpp"

#include <string_view>

namespace tacitor::companion {

std::optional<models::Method> method_of(PyObject* name) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
  } else if (std::string_view(text) == "linear") {
    return models::Method::linear_regression;
  } else if (std::string_view(text) == "tree") {
    return models::Method::decision_tree;
  }
  PyErr_Format(PyExc_ValueError, "method must be 'linear' or 'tree', not %R", name);
  return std::nullopt;
}

}  // namespace tacitor::companion
