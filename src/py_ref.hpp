#pragma once
// Ref: the owner of one strong reference to a Python object.
//
// Every new reference the boundary obtains goes straight into a Ref, so that no error path can
// leak it or release it twice. `steal` takes over a reference the caller already owns (the
// result of a C-API call returning a new reference), `borrow` adds a reference of its own to a
// borrowed pointer, and `release` hands the reference back to the caller (to return it to the
// interpreter or give it to an API that steals it). A Ref must only be used, and destroyed,
// while the interpreter lock is held.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tacitor::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns; null stays null.
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed object; null stays null.
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  // Gives up ownership: the caller now owns the reference.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace tacitor::py
