#include "numpy_api.hpp"

#include <string>

#include "common/internal_failure.hpp"
#include "exceptions.hpp"
#include "py_ref.hpp"

namespace tacitor::numpy {
namespace {

// Indices into the table (NumPy's __multiarray_api.h, the same in 1.26 and 2.x).
constexpr int kGetNDArrayCVersion = 0;
constexpr int kDescrFromType = 45;
constexpr int kNewFromDescr = 94;
constexpr int kEquivTypes = 182;
constexpr int kSetBaseObject = 282;

// ABI major versions whose array object and table entries match the declarations here.
constexpr unsigned kAbiMajorFirst = 1;
constexpr unsigned kAbiMajorLast = 2;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                                   void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);
using GetVersion = unsigned (*)();

template <class Function>
Function entry(void** table, int index) noexcept {
  return reinterpret_cast<Function>(table[index]);
}

// The capsule and its table; both live until the process ends.
PyObject* capsule = nullptr;
const Api* cached = nullptr;

py::Ref attribute(PyObject* object, const char* name) {
  return py::Ref::steal(py::check(PyObject_GetAttrString(object, name)));
}

py::Ref import(const char* name) {
  return py::Ref::steal(py::check(PyImport_ImportModule(name)));
}

// NumPy 2 moved the core package to numpy._core; numpy.core is its deprecated alias there.
const char* multiarray_module() {
  py::Ref numpy = import("numpy");
  py::Ref version = attribute(numpy.get(), "__version__");
  py::Ref lib = import("numpy.lib");
  py::Ref numpy_version = attribute(lib.get(), "NumpyVersion");
  py::Ref parsed =
      py::Ref::steal(py::check(PyObject_CallOneArg(numpy_version.get(), version.get())));
  py::Ref major = attribute(parsed.get(), "major");
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) {
    py::throw_pending();
  }
  return value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

// The capsule, or an explanation of why there is none.
py::Ref find_capsule(std::string& problem) {
  py::Ref multiarray = import(multiarray_module());
  py::Ref found = attribute(multiarray.get(), "_ARRAY_API");
  if (!PyCapsule_CheckExact(found.get())) {
    problem = "_ARRAY_API is not a capsule";
    return py::Ref();
  }
  return found;
}

[[noreturn]] void fail(const std::string& problem) {
  raise_internal_failure("Failed to access NumPy array API capsule: " + problem);
}

}  // namespace

PyObject* Api::descr_from_type(int type_number) const noexcept {
  return entry<DescrFromType>(table_, kDescrFromType)(type_number);
}

bool Api::equiv_types(PyObject* first, PyObject* second) const noexcept {
  return entry<EquivTypes>(table_, kEquivTypes)(first, second) != 0;
}

PyObject* Api::new_from_descr(PyTypeObject* type, PyObject* descr, int nd, const npy_intp* dims,
                              const npy_intp* strides, void* data, int flags,
                              PyObject* owner) const noexcept {
  return entry<NewFromDescr>(table_, kNewFromDescr)(type, descr, nd, dims, strides, data, flags,
                                                    owner);
}

int Api::set_base_object(PyObject* array, PyObject* base) const noexcept {
  return entry<SetBaseObject>(table_, kSetBaseObject)(array, base);
}

const Api& api() {
  if (cached != nullptr) {
    return *cached;
  }
  std::string problem;
  py::Ref found;
  try {
    found = find_capsule(problem);
  } catch (const py::PythonErrorPending&) {
    problem = py::take_pending_error_text();
  }
  if (!found) {
    fail(problem);
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(found.get(), nullptr));
  if (table == nullptr) {
    fail(PyErr_Occurred() ? py::take_pending_error_text() : "the capsule holds no table");
  }
  const unsigned abi = entry<GetVersion>(table, kGetNDArrayCVersion)();
  const unsigned abi_major = abi >> 24;
  if (abi_major < kAbiMajorFirst || abi_major > kAbiMajorLast) {
    fail("unsupported NumPy ABI version " + std::to_string(abi_major));
  }
  // Importing NumPy runs Python code, which may have let another thread get here first.
  if (cached == nullptr) {
    capsule = found.release();
    cached = new Api(table);
  }
  return *cached;
}

}  // namespace tacitor::numpy
