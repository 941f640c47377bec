#include "entry_points.hpp"

#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "data/array2.hpp"
#include "exceptions.hpp"
#include "models/decision_tree.hpp"
#include "models/linear_regression.hpp"
#include "models/memory_plan.hpp"
#include "models/module_parameters.hpp"
#include "numpy_api.hpp"
#include "pool/concurrency_limit.hpp"
#include "pool/outside_wait.hpp"
#include "py_ref.hpp"
#include "result_holder.hpp"

namespace tacitor::entry_points {
namespace {

// The wait hook of a call: runs the interpreter's signal handlers (the calling thread holds
// the interpreter lock while it waits for the pool). When one raises (KeyboardInterrupt for
// Ctrl-C by default), its exception stays pending and the call is cancelled; the boundary
// then raises that exception.
bool python_signal_raised() noexcept {
  return PyErr_CheckSignals() != 0;
}

[[noreturn]] void throw_value_error(const std::string& text) {
  py::Ref message = py::Ref::steal(py::check(py::to_str(text)));
  PyErr_SetObject(PyExc_ValueError, message.get());
  py::throw_pending();
}

[[noreturn]] void fail_api_call() {
  PyErr_Print();
  raise_internal_failure("Python API call failed");
}

// A new array whose data is the buffer of `result` (no copy); the buffer is freed when the
// array is released.
py::Ref to_array(data::Array2&& result) {
  const numpy::Api& api = numpy::api();
  const numpy::npy_intp shape[2] = {static_cast<numpy::npy_intp>(result.rows()),
                                    static_cast<numpy::npy_intp>(result.cols())};
  const numpy::npy_intp strides[2] = {
      result.row_step() * static_cast<numpy::npy_intp>(sizeof(float)),
      result.col_step() * static_cast<numpy::npy_intp>(sizeof(float))};
  std::vector<float> buffer = result.release();
  // Given a null data address, NumPy would allocate memory of its own.
  buffer.reserve(1);
  float* data = buffer.data();
  py::Ref holder = result_holder::hold(std::move(buffer));
  py::Ref float32 = py::Ref::steal(py::check(api.descr_from_type(numpy::kFloat32)));
  py::Ref array = py::Ref::steal(api.new_from_descr(api.array_type(), float32.release(), 2, shape,
                                                    strides, data, numpy::kWriteable, nullptr));
  if (!array) {
    fail_api_call();
  }
  if (api.set_base_object(array.get(), holder.release()) < 0) {
    fail_api_call();
  }
  return array;
}

template <class Model, class Parameters>
PyObject* run(const char* function_name, models::Method method, const Parameters& parameters,
              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    // A cancellation left over from an interrupted call must not stop this one.
    clear_cancellation();
    const pool::ScopedWaitHook signal_checks(&python_signal_raised);
    const arguments::Slots slots = arguments::bind(function_name, args, nargs, kwnames);
    const arguments::Converted converted = arguments::convert(slots);
    // Before anything large is allocated: as many workers as the memory allows, or a
    // MemoryError that names the numbers.
    const auto [series, length] = arguments::samples_shape(converted.samples.get());
    const pool::ScopedConcurrencyLimit workers(
        models::preflight(method, series, length, converted.window_size, converted.stride));
    data::Array2 denoised;
    {
      const data::Array2 samples = arguments::copy_samples(converted.samples.get());
      auto model = Model::train(samples, converted.window_size, converted.stride, parameters);
      if (!model) {
        throw_value_error(model.error());
      }
      auto result = model->denoise(samples, converted.stride);
      if (!result) {
        throw_value_error(result.error());
      }
      denoised = std::move(result).value();
    }
    return to_array(std::move(denoised)).release();
  } catch (...) {
    py::set_python_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace

PyObject* denoise_linear_regression(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return run<models::LRModel>("denoise_linear_regression", models::Method::linear_regression,
                              models::module_linear_parameters(), args, nargs, kwnames);
}

PyObject* denoise_decision_tree(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return run<models::DTModel>("denoise_decision_tree", models::Method::decision_tree,
                              models::module_tree_parameters(), args, nargs, kwnames);
}

}  // namespace tacitor::entry_points
