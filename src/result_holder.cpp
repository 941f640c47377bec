#include "result_holder.hpp"

#include <memory>
#include <string>

#include "common/internal_failure.hpp"
#include "exceptions.hpp"

namespace tacitor::result_holder {
namespace {

struct SliceContainer {
  PyObject ob_base;
  std::vector<float>* buffer;
};

void dealloc(PyObject* self) {
  delete reinterpret_cast<SliceContainer*>(self)->buffer;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

constexpr const char* kDoc =
    "Owner of the data of an array returned by tacitor; frees the data when the array is "
    "released.";

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tacitor.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// Created once under the interpreter lock, never released.
PyTypeObject* container_type = nullptr;

[[noreturn]] void fail() {
  raise_internal_failure("Failed to create slice container: " + py::take_pending_error_text());
}

PyTypeObject* type() {
  if (container_type == nullptr) {
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) {
      fail();
    }
    // Creating a type can run Python code (a collection); keep the first type if that code
    // created one meanwhile.
    if (container_type == nullptr) {
      container_type = reinterpret_cast<PyTypeObject*>(created);
    } else {
      Py_DECREF(created);
    }
  }
  return container_type;
}

}  // namespace

py::Ref hold(std::vector<float>&& buffer) {
  PyTypeObject* holder_type = type();
  auto owned = std::make_unique<std::vector<float>>(std::move(buffer));
  py::Ref holder = py::Ref::steal(PyType_GenericAlloc(holder_type, 0));
  if (!holder) {
    fail();
  }
  reinterpret_cast<SliceContainer*>(holder.get())->buffer = owned.release();
  return holder;
}

}  // namespace tacitor::result_holder
