#pragma once
// Binding and conversion of the arguments of the two denoising functions.
//
// Both functions take (samples, window_size, stride), by position or by keyword, all
// required. Binding fills one slot per parameter from the fast-call argument vector; the
// conversion checks that `samples` is a two-dimensional float32 NumPy array and reads the two
// integers as unsigned 32-bit values. Every failure sets its Python exception and throws
// py::PythonErrorPending.

#include <array>
#include <cstdint>

#include "data/array2.hpp"
#include "py_ref.hpp"

namespace tacitor::arguments {

inline constexpr std::array<const char*, 3> kParameterNames = {"samples", "window_size", "stride"};

// Borrowed references from the call, in parameter order.
using Slots = std::array<PyObject*, 3>;

// Binds the arguments of `function_name` (used in the messages): the first `nargs` entries of
// `args` are positional, the rest are the values of the keywords named in `kwnames` (a tuple,
// or null when there are none).
Slots bind(const char* function_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct Converted {
  // A reference of the call's own, so that `samples` stays alive whatever Python code the
  // integer conversions run.
  py::Ref samples;
  std::uint32_t window_size = 0;
  std::uint32_t stride = 0;
};

// Converts the bound slots in parameter order, stopping at the first failure.
Converted convert(const Slots& slots);

// (rows, columns) of an array accepted by convert(), read now.
std::array<std::size_t, 2> samples_shape(PyObject* samples);

// Copies an array accepted by convert() into an owned row-major matrix. The shape, strides,
// type and data address are read here, not taken from the conversion: an `__index__` method
// run since may have reshaped or reallocated the array in place.
data::Array2 copy_samples(PyObject* samples);

}  // namespace tacitor::arguments
