#include "arguments.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/checked_size.hpp"
#include "exceptions.hpp"
#include "numpy_api.hpp"

namespace tacitor::arguments {
namespace {

constexpr int kNotAParameter = -1;
constexpr const char* kArrayTarget = "PyArray<T, D>";

// The parameter a keyword names, compared as UTF-8 bytes; names that cannot be encoded
// (lone surrogates) name none.
int parameter_index(PyObject* keyword) noexcept {
  if (!PyUnicode_Check(keyword)) {
    return kNotAParameter;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return kNotAParameter;
  }
  const std::string_view name(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    if (name == kParameterNames[i]) {
      return static_cast<int>(i);
    }
  }
  return kNotAParameter;
}

[[noreturn]] void throw_missing(const char* function_name, const Slots& slots) {
  std::string names;
  std::size_t count = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] == nullptr) {
      ++count;
    }
  }
  std::size_t written = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] != nullptr) {
      continue;
    }
    if (written > 0) {
      names += count == 2 ? " and " : (written + 1 == count ? ", and " : ", ");
    }
    names += '\'';
    names += kParameterNames[i];
    names += '\'';
    ++written;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
               function_name, count, count == 1 ? "" : "s", names.c_str());
  py::throw_pending();
}

// Replaces a pending exception that is exactly a TypeError by one that names the parameter,
// keeping the old exception's cause; other exceptions stay as they are. Then throws.
[[noreturn]] void throw_for_parameter(const char* parameter) {
  py::Ref old = py::Ref::steal(PyErr_GetRaisedException());
  if (!old) {
    py::throw_pending();
  }
  if (!Py_IS_TYPE(old.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(old.release());
    py::throw_pending();
  }
  py::Ref text = py::Ref::steal(py::check(PyObject_Str(old.get())));
  py::Ref message =
      py::Ref::steal(py::check(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get())));
  py::Ref replacement =
      py::Ref::steal(py::check(PyObject_CallOneArg(PyExc_TypeError, message.get())));
  // Steals the cause; a null cause leaves none.
  PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));
  PyErr_SetRaisedException(replacement.release());
  py::throw_pending();
}

// Checks that `samples` is a 2-D array of native float32; throws the conversion TypeError.
void check_samples(PyObject* samples) {
  const numpy::Api& api = numpy::api();
  if (!api.is_array(samples)) {
    py::throw_conversion_error(samples, kArrayTarget);
  }
  const auto* array = reinterpret_cast<const numpy::ArrayObject*>(samples);
  if (array->nd != 2) {
    py::throw_conversion_error(samples, kArrayTarget);
  }
  py::Ref float32 = py::Ref::steal(py::check(api.descr_from_type(numpy::kFloat32)));
  if (!api.equiv_types(array->descr, float32.get())) {
    py::throw_conversion_error(samples, kArrayTarget);
  }
}

std::uint32_t to_u32(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    py::Ref index = py::Ref::steal(py::check(PyNumber_Index(object)));
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    py::throw_pending();
  }
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    py::throw_pending();
  }
  return static_cast<std::uint32_t>(value);
}

template <class Conversion>
auto convert_parameter(std::size_t index, Conversion conversion) {
  try {
    return conversion();
  } catch (const py::PythonErrorPending&) {
    throw_for_parameter(kParameterNames[index]);
  }
}

}  // namespace

Slots bind(const char* function_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Slots slots{};
  if (nargs > static_cast<Py_ssize_t>(slots.size())) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                 function_name, slots.size(), nargs);
    py::throw_pending();
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    slots[static_cast<std::size_t>(i)] = args[i];
  }
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const int index = parameter_index(keyword);
    if (index == kNotAParameter) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_name,
                   keyword);
      py::throw_pending();
    }
    PyObject*& slot = slots[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_name,
                   kParameterNames[static_cast<std::size_t>(index)]);
      py::throw_pending();
    }
    slot = args[nargs + k];
  }
  for (PyObject* slot : slots) {
    if (slot == nullptr) {
      throw_missing(function_name, slots);
    }
  }
  return slots;
}

Converted convert(const Slots& slots) {
  Converted converted;
  convert_parameter(0, [&] {
    check_samples(slots[0]);
    return 0;
  });
  converted.samples = py::Ref::borrow(slots[0]);
  converted.window_size = convert_parameter(1, [&] { return to_u32(slots[1]); });
  converted.stride = convert_parameter(2, [&] { return to_u32(slots[2]); });
  return converted;
}

std::array<std::size_t, 2> samples_shape(PyObject* samples) {
  convert_parameter(0, [&] {
    check_samples(samples);
    return 0;
  });
  const auto* array = reinterpret_cast<const numpy::ArrayObject*>(samples);
  return {static_cast<std::size_t>(array->dimensions[0]),
          static_cast<std::size_t>(array->dimensions[1])};
}

data::Array2 copy_samples(PyObject* samples) {
  convert_parameter(0, [&] {
    check_samples(samples);
    return 0;
  });
  const auto* array = reinterpret_cast<const numpy::ArrayObject*>(samples);
  const auto rows = static_cast<std::size_t>(array->dimensions[0]);
  const auto cols = static_cast<std::size_t>(array->dimensions[1]);
  const numpy::npy_intp row_stride = array->strides[0];
  const numpy::npy_intp col_stride = array->strides[1];
  const char* data = array->data;
  // A broadcast view can claim far more elements than any buffer can hold; such a copy is
  // out of memory, not a broken invariant (std::vector would report std::length_error).
  if (checked_mul(rows, cols) > std::vector<float>().max_size()) {
    throw std::bad_alloc();
  }
  data::Array2 copy(rows, cols);
  if (copy.size() == 0) {
    return copy;
  }
  // Byte offsets, so that unaligned, negative and zero strides are all read the same way.
  for (std::size_t s = 0; s < rows; ++s) {
    const char* row = data + static_cast<numpy::npy_intp>(s) * row_stride;
    if (col_stride == static_cast<numpy::npy_intp>(sizeof(float))) {
      std::memcpy(&copy(s, 0), row, cols * sizeof(float));
      continue;
    }
    for (std::size_t t = 0; t < cols; ++t) {
      std::memcpy(&copy(s, t), row + static_cast<numpy::npy_intp>(t) * col_stride, sizeof(float));
    }
  }
  return copy;
}

}  // namespace tacitor::arguments
