#include "companion/trained_model.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "common/memory_refusal.hpp"
#include "companion/method_name.hpp"
#include "companion/native_errors.hpp"
#include "companion/released_gil.hpp"
#include "data/array2.hpp"
#include "models/decision_tree.hpp"
#include "models/gram_linear.hpp"
#include "models/linear_regression.hpp"
#include "models/memory_plan.hpp"
#include "models/model_file.hpp"
#include "models/module_parameters.hpp"
#include "pool/concurrency_limit.hpp"

namespace tacitor::companion {
namespace {

using ModelSet = std::variant<models::LRModel, models::DTModel>;

struct TrainedModelObject {
  PyObject_HEAD ModelSet* model;
  std::size_t window_size;
};

PyTypeObject* trained_model_type = nullptr;

bool positive_count(PyObject* value, const char* name, std::size_t& out) {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return false;
  }
  if (number == 0 || number > UINT32_MAX) {
    PyErr_Format(PyExc_ValueError, "%s must be from 1 to 2**32 - 1, not %llu", name, number);
    return false;
  }
  out = static_cast<std::size_t>(number);
  return true;
}

// Native-order float32 in the struct-module syntax of buffer formats: "f", or with an
// explicit native ("=") or matching byte-order prefix (arrays rebuilt by pickle give "=f").
bool native_float32(const char* format) {
  if (format == nullptr) {
    return false;
  }
  const std::string_view text(format);
  const char own_order = std::endian::native == std::endian::little ? '<' : '>';
  return text == "f" || text == "=f" ||
         (text.size() == 2 && text[0] == own_order && text[1] == 'f');
}

// A buffer of the exporter's 2-D C-contiguous float32 values, released on destruction.
class MatrixBuffer {
 public:
  bool acquire(PyObject* object, const char* name, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object, &view_, flags) < 0) {
      return false;
    }
    held_ = true;
    if (view_.ndim != 2 || view_.itemsize != 4 || !native_float32(view_.format)) {
      PyErr_Format(PyExc_TypeError, "%s must be a 2-D C-contiguous float32 array", name);
      return false;
    }
    return true;
  }
  ~MatrixBuffer() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }
  std::size_t rows() const { return static_cast<std::size_t>(view_.shape[0]); }
  std::size_t cols() const { return static_cast<std::size_t>(view_.shape[1]); }
  float* values() const { return static_cast<float*>(view_.buf); }

  // The values as the pipeline's own sample matrix: a copy, so that no Python object is read
  // while the lock is released.
  data::Array2 copy() const {
    data::Array2 samples(rows(), cols());
    if (samples.size() != 0) {
      std::memcpy(samples.data(), values(), samples.size() * sizeof(float));
    }
    return samples;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

template <class Value>
Value value_or_throw(Expected<Value, std::string>&& result) {
  if (!result) {
    throw ErrorText{std::move(result).error()};
  }
  return std::move(result).value();
}

models::Method method_of(const ModelSet& model) {
  return std::holds_alternative<models::LRModel>(model) ? models::Method::linear_regression
                                                        : models::Method::decision_tree;
}

PyObject* new_trained_model(ModelSet&& model) {
  auto owned = std::make_unique<ModelSet>(std::move(model));
  auto* object = PyObject_New(TrainedModelObject, trained_model_type);
  if (object == nullptr) {
    return nullptr;
  }
  object->window_size = std::visit([](const auto& set) { return set.window_size; }, *owned);
  object->model = owned.release();
  return reinterpret_cast<PyObject*>(object);
}

// How the linear method solves its least-squares problems: true for the Gram route, false for
// the exact one (the tacitor module's); an exception set for anything else.
std::optional<bool> gram_solver_of(const char* solver, models::Method method) {
  const std::string_view name = solver == nullptr ? "exact" : solver;
  if (name == "exact") {
    return false;
  }
  if (name == "gram" && method == models::Method::linear_regression) {
    return true;
  }
  if (name == "gram") {
    PyErr_SetString(PyExc_ValueError, "solver 'gram' needs the linear method");
  } else {
    PyErr_Format(PyExc_ValueError, "solver must be 'exact' or 'gram', not '%s'", solver);
  }
  return std::nullopt;
}

PyObject* fit(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"method", "samples", "window_size", "stride", "solver", nullptr};
  PyObject *method_name = nullptr, *samples_object = nullptr, *window_object = nullptr,
           *stride_object = nullptr;
  const char* solver = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|$s:fit", const_cast<char**>(keywords),
                                   &method_name, &samples_object, &window_object, &stride_object,
                                   &solver)) {
    return nullptr;
  }
  const std::optional<models::Method> method = companion::method_of(method_name);
  const std::optional<bool> gram = method ? gram_solver_of(solver, *method) : std::nullopt;
  std::size_t window_size = 0;
  std::size_t stride = 0;
  MatrixBuffer buffer;
  if (!method || !gram || !positive_count(window_object, "window_size", window_size) ||
      !positive_count(stride_object, "stride", stride) ||
      !buffer.acquire(samples_object, "samples", false)) {
    return nullptr;
  }
  try {
    const std::size_t workers =
        models::preflight(*method, buffer.rows(), buffer.cols(), window_size, stride);
    const data::Array2 samples = buffer.copy();
    return new_trained_model(without_interpreter_lock([&]() -> ModelSet {
      const pool::ScopedConcurrencyLimit limit(workers);
      if (*gram) {
        return value_or_throw(models::train_by_gram(samples, window_size, stride));
      }
      if (*method == models::Method::linear_regression) {
        return value_or_throw(models::LRModel::train(samples, window_size, stride,
                                                     models::module_linear_parameters()));
      }
      return value_or_throw(
          models::DTModel::train(samples, window_size, stride, models::module_tree_parameters()));
    }));
  } catch (...) {
    set_error_from_current();
    return nullptr;
  }
}

PyObject* denoise(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"samples", "stride", "out", nullptr};
  PyObject *samples_object = nullptr, *stride_object = nullptr, *out_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:denoise", const_cast<char**>(keywords),
                                   &samples_object, &stride_object, &out_object)) {
    return nullptr;
  }
  const auto* trained = reinterpret_cast<TrainedModelObject*>(self);
  std::size_t stride = 0;
  MatrixBuffer buffer;
  if (!positive_count(stride_object, "stride", stride) ||
      !buffer.acquire(samples_object, "samples", false)) {
    return nullptr;
  }
  try {
    const ModelSet& model = *trained->model;
    const std::size_t workers = models::preflight(method_of(model), buffer.rows(), buffer.cols(),
                                                  trained->window_size, stride);
    const data::Array2 samples = buffer.copy();
    const data::Array2 denoised = without_interpreter_lock([&] {
      const pool::ScopedConcurrencyLimit limit(workers);
      return std::visit(
          [&](const auto& set) { return value_or_throw(set.denoise(samples, stride)); }, model);
    });
    // The output array is taken only now, with the lock held again.
    MatrixBuffer out;
    if (!out.acquire(out_object, "out", true)) {
      return nullptr;
    }
    if (out.rows() != denoised.rows() || out.cols() != denoised.cols()) {
      PyErr_SetString(PyExc_ValueError, "out must have the shape of samples");
      return nullptr;
    }
    if (denoised.size() != 0) {
      std::memcpy(out.values(), denoised.data(), denoised.size() * sizeof(float));
    }
    Py_RETURN_NONE;
  } catch (...) {
    set_error_from_current();
    return nullptr;
  }
}

PyObject* to_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"stride", "fill_missing", "blend_weight", nullptr};
  PyObject* stride_object = nullptr;
  int fill_missing = 0;
  double blend_weight = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Opd:to_bytes", const_cast<char**>(keywords),
                                   &stride_object, &fill_missing, &blend_weight)) {
    return nullptr;
  }
  std::size_t stride = 0;
  if (!positive_count(stride_object, "stride", stride)) {
    return nullptr;
  }
  try {
    models::ModelFile file{*reinterpret_cast<TrainedModelObject*>(self)->model,
                           static_cast<std::uint32_t>(stride), fill_missing != 0, blend_weight};
    const std::vector<std::uint8_t> bytes = models::write_model_file(file);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  } catch (...) {
    set_error_from_current();
    return nullptr;
  }
}

PyObject* from_bytes(PyObject* /*module*/, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
    return nullptr;
  }
  try {
    auto file = models::read_model_file(std::span<const std::uint8_t>(
        static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)));
    PyBuffer_Release(&view);
    if (!file) {
      PyErr_Format(PyExc_ValueError, "cannot load the model: %s", file.error().c_str());
      return nullptr;
    }
    PyObject* model = new_trained_model(std::move(file->model));
    if (model == nullptr) {
      return nullptr;
    }
    return Py_BuildValue("NkNd", model, static_cast<unsigned long>(file->stride),
                         PyBool_FromLong(file->fill_missing), file->blend_weight);
  } catch (...) {
    if (view.obj != nullptr) {
      PyBuffer_Release(&view);
    }
    set_error_from_current();
    return nullptr;
  }
}

PyObject* get_method(PyObject* self, void* /*closure*/) {
  const auto* trained = reinterpret_cast<TrainedModelObject*>(self);
  return PyUnicode_FromString(
      method_of(*trained->model) == models::Method::linear_regression ? "linear" : "tree");
}

PyObject* get_window_size(PyObject* self, void* /*closure*/) {
  return PyLong_FromSize_t(reinterpret_cast<TrainedModelObject*>(self)->window_size);
}

void dealloc(PyObject* self) {
  delete reinterpret_cast<TrainedModelObject*>(self)->model;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyMethodDef model_methods[] = {
    {"denoise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(denoise)),
     METH_VARARGS | METH_KEYWORDS,
     "denoise(samples, stride, out)\n--\n\n"
     "Writes `samples` (2-D C-contiguous float32) denoised with the trained estimators, the "
     "windows planned with `stride`, into `out` (float32 of the same shape). Releases the "
     "interpreter lock while it works."},
    {"to_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "to_bytes(stride, fill_missing, blend_weight)\n--\n\n"
     "The model file's bytes: the estimators and the settings given (blend_weight NaN for "
     "none)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef model_getset[] = {
    {"method", get_method, nullptr, "'linear' or 'tree'.", nullptr},
    {"window_size", get_window_size, nullptr, "The window the estimators were trained on.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {Py_tp_doc, const_cast<char*>("A trained model set: one estimator per window position.")},
    {0, nullptr},
};

PyType_Spec model_spec = {
    "tacitor_tools._native.TrainedModel",
    sizeof(TrainedModelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    model_slots,
};

PyMethodDef functions[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit)),
     METH_VARARGS | METH_KEYWORDS,
     "fit(method, samples, window_size, stride, *, solver='exact')\n--\n\n"
     "Trains tacitor's `method` ('linear' or 'tree') on `samples` (2-D C-contiguous float32) "
     "and returns the TrainedModel. solver='gram' solves the linear method's fits from one "
     "double-precision Gram matrix of the windows instead of one SVD per window position. "
     "Releases the interpreter lock while it works."},
    {"from_bytes", from_bytes, METH_O,
     "from_bytes(data)\n--\n\n"
     "(TrainedModel, stride, fill_missing, blend_weight) from a model file's bytes; ValueError "
     "naming the problem when they are not a valid model file."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_trained_models(PyObject* module) {
  if (trained_model_type == nullptr) {
    trained_model_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&model_spec));
    if (trained_model_type == nullptr) {
      return -1;
    }
  }
  if (PyModule_AddObjectRef(module, "TrainedModel",
                            reinterpret_cast<PyObject*>(trained_model_type)) < 0 ||
      add_internal_failure(module) < 0) {
    return -1;
  }
  return PyModule_AddFunctions(module, functions);
}

}  // namespace tacitor::companion
