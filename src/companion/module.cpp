// tacitor_tools._native: the native core's answers for the companion package.
//
// The companion must not re-derive what the core decides, so it asks here: how much memory a
// call of a given shape needs and how many workers it would run on (the same estimate that
// the denoising functions check before they allocate), and how much memory the process may
// use now. Single-phase initialisation, like the tacitor module; nothing here touches the
// tacitor module's state, and no worker threads are started.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "common/available_memory.hpp"
#include "companion/method_name.hpp"
#include "companion/native_errors.hpp"
#include "companion/trained_model.hpp"
#include "models/memory_plan.hpp"
#include "pool/pool_size.hpp"

namespace tacitor::companion {
namespace {

PyTypeObject* estimate_type = nullptr;

PyStructSequence_Field estimate_fields[] = {
    {"peak_bytes", "The call's estimated peak on `workers` workers (on one when none fit)."},
    {"one_worker_bytes", "The estimated peak on one worker."},
    {"workers", "Workers the call would run on; 0 when it would be refused."},
    {"pool_workers", "Workers of the pool, before any reduction for memory."},
    {"available_bytes", "Memory the call may plan for."},
    {"training_rows", "Training rows of one window position (windows times series)."},
    {"refusal", "The MemoryError text the call would raise, or None."},
    {nullptr, nullptr},
};

PyStructSequence_Desc estimate_desc = {
    "tacitor_tools._native.MemoryEstimate",
    "The memory a denoising call of some shape needs, as the native code estimates it.",
    estimate_fields,
    7,
};

// A non-negative int, or an exception set.
bool count_of(PyObject* value, const char* name, std::uint64_t& out) {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
    return false;
  }
  out = PyLong_AsUnsignedLongLong(value);
  return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// The budget given by the caller (`available`), or this process's.
bool budget_of(PyObject* available, MemoryBudget& budget) {
  if (available == nullptr || available == Py_None) {
    budget = memory_budget();
    return true;
  }
  budget.capped = false;
  return count_of(available, "available", budget.bytes);
}

PyObject* memory_estimate(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"method", "n_series",  "length", "window_size",
                                   "stride", "available", nullptr};
  PyObject* objects[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|O:memory_estimate",
                                   const_cast<char**>(keywords), &objects[0], &objects[1],
                                   &objects[2], &objects[3], &objects[4], &objects[5])) {
    return nullptr;
  }
  const std::optional<models::Method> method = method_of(objects[0]);
  std::uint64_t shape[4] = {};
  for (int i = 0; i < 4; ++i) {
    if (!method || !count_of(objects[i + 1], keywords[i + 1], shape[i])) {
      return nullptr;
    }
  }
  try {
    MemoryBudget budget;
    if (!budget_of(objects[5], budget)) {
      return nullptr;
    }
    const models::MemoryPlan plan =
        models::plan_memory(*method, shape[0], shape[1], shape[2], shape[3]);
    const std::size_t pool_workers = pool::pool_size();
    const std::size_t workers = models::workers_that_fit(plan, budget.bytes, pool_workers);
    PyObject* result = PyStructSequence_New(estimate_type);
    if (result == nullptr) {
      return nullptr;
    }
    PyObject* refusal = workers == 0
                            ? PyUnicode_FromString(models::refusal_text(plan, budget).c_str())
                            : Py_NewRef(Py_None);
    PyObject* items[7] = {
        PyLong_FromUnsignedLongLong(plan.peak(workers == 0 ? 1 : workers)),
        PyLong_FromUnsignedLongLong(plan.peak(1)),
        PyLong_FromSize_t(workers),
        PyLong_FromSize_t(pool_workers),
        PyLong_FromUnsignedLongLong(budget.bytes),
        PyLong_FromUnsignedLongLong(plan.training_rows),
        refusal,
    };
    bool failed = false;
    for (Py_ssize_t i = 0; i < 7; ++i) {
      failed = failed || items[i] == nullptr;
      PyStructSequence_SetItem(result, i, items[i]);
    }
    if (failed) {
      Py_DECREF(result);
      return nullptr;
    }
    return result;
  } catch (...) {
    set_error_from_current();
    return nullptr;
  }
}

PyObject* series_that_fit(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"method", "length",    "window_size",
                                   "stride", "available", nullptr};
  PyObject* objects[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:series_that_fit",
                                   const_cast<char**>(keywords), &objects[0], &objects[1],
                                   &objects[2], &objects[3], &objects[4])) {
    return nullptr;
  }
  const std::optional<models::Method> method = method_of(objects[0]);
  std::uint64_t shape[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (!method || !count_of(objects[i + 1], keywords[i + 1], shape[i])) {
      return nullptr;
    }
  }
  try {
    MemoryBudget budget;
    if (!budget_of(objects[4], budget)) {
      return nullptr;
    }
    // The peak grows with the series count: the largest count whose one-worker peak fits.
    const auto fits = [&](std::uint64_t series) {
      return models::plan_memory(*method, series, shape[0], shape[1], shape[2]).peak(1) <=
             budget.bytes;
    };
    std::uint64_t low = 0;
    std::uint64_t high = std::numeric_limits<std::uint32_t>::max();
    while (low < high) {
      const std::uint64_t middle = low + (high - low + 1) / 2;
      if (fits(middle)) {
        low = middle;
      } else {
        high = middle - 1;
      }
    }
    return PyLong_FromUnsignedLongLong(low);
  } catch (...) {
    set_error_from_current();
    return nullptr;
  }
}

PyObject* available_memory(PyObject* /*module*/, PyObject* /*unused*/) {
  try {
    return PyLong_FromUnsignedLongLong(memory_budget().bytes);
  } catch (...) {
    set_error_from_current();
    return nullptr;
  }
}

PyMethodDef methods[] = {
    {"memory_estimate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(memory_estimate)),
     METH_VARARGS | METH_KEYWORDS,
     "memory_estimate(method, n_series, length, window_size, stride, available=None)\n--\n\n"
     "The memory a call of tacitor's `method` ('linear' or 'tree') on n_series x length "
     "samples needs, the workers it would run on, and the refusal it would raise.\n"
     "`available` replaces this process's memory budget (bytes), e.g. a Dask worker's limit."},
    {"series_that_fit",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(series_that_fit)),
     METH_VARARGS | METH_KEYWORDS,
     "series_that_fit(method, length, window_size, stride, available=None)\n--\n\n"
     "The most series of `length` samples that one call can denoise on one worker within "
     "`available` bytes (this process's budget when None); 0 when not even one fits."},
    {"available_memory", available_memory, METH_NOARGS,
     "available_memory()\n--\n\n"
     "Bytes a call may plan for now: MemAvailable and any cgroup memory limit, less a margin, "
     "capped by TACITOR_MEMORY_LIMIT."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tacitor_tools._native",
    "Native helpers of tacitor_tools, built from tacitor's own core.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tacitor::companion

PyMODINIT_FUNC PyInit__native() {
  using namespace tacitor::companion;
  if (estimate_type == nullptr) {
    estimate_type = PyStructSequence_NewType(&estimate_desc);
    if (estimate_type == nullptr) {
      return nullptr;
    }
  }
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) {
    return nullptr;
  }
  if (PyModule_AddObjectRef(module, "MemoryEstimate", reinterpret_cast<PyObject*>(estimate_type)) <
          0 ||
      add_trained_models(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
