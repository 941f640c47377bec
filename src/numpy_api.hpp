#pragma once
// The part of NumPy's C API that the boundary uses, reached at run time through the capsule
// "_ARRAY_API" of NumPy's core `multiarray` module, so that nothing of NumPy is needed at
// build time and one build works with NumPy 1.x and 2.x.
//
// The capsule holds a table of pointers whose layout NumPy keeps stable across versions; the
// entries used here have the same indices in 1.26 and 2.x. The array object's leading fields
// (data, dimension count, shape, strides, base, descriptor) have the same layout in both.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tacitor::numpy {

using npy_intp = Py_intptr_t;

// The leading fields of NumPy's array object.
struct ArrayObject {
  PyObject ob_base;
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// Type number of the native 32-bit float.
constexpr int kFloat32 = 11;
// Array flag: the data may be written.
constexpr int kWriteable = 0x0400;

class Api {
 public:
  explicit Api(void** table) noexcept : table_(table) {}

  PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(table_[2]); }
  // Whether `object` is an array (of NumPy's array type or a subclass).
  bool is_array(PyObject* object) const noexcept {
    return PyObject_TypeCheck(object, array_type());
  }
  // New reference to the descriptor of a type number; null with an exception set on failure.
  PyObject* descr_from_type(int type_number) const noexcept;
  bool equiv_types(PyObject* first, PyObject* second) const noexcept;
  // Steals `descr`; new reference or null with an exception set.
  PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, const npy_intp* dims,
                           const npy_intp* strides, void* data, int flags,
                           PyObject* owner) const noexcept;
  // Steals `base`, also on failure; -1 with an exception set on failure.
  int set_base_object(PyObject* array, PyObject* base) const noexcept;

 private:
  void** table_;
};

// The API, looked up on first use and kept for the life of the process. Must be called with
// the interpreter lock held; failure is the internal failure "Failed to access NumPy array API
// capsule: ...".
const Api& api();

}  // namespace tacitor::numpy
