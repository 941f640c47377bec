// The registration routine's steps against a real interpreter: creating a bound built-in
// function and adding it to a module with its name in `__all__`.

#include "registration.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/internal_failure.hpp"
#include "embedded_python.hpp"
#include "exceptions.hpp"

namespace tacitor::registration {
namespace {

using testing::evaluate;
using testing::run;
using testing::take_exception;
using testing::text_of;

// Returns (module, number of positional arguments, keyword names or None).
PyObject* echo(PyObject* module, PyObject* const* /*args*/, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
  return Py_BuildValue("(OnO)", module, nargs, kwnames == nullptr ? Py_None : kwnames);
}

constexpr FunctionDescriptor kEcho = {"echo", echo, METH_FASTCALL | METH_KEYWORDS,
                                      "echo(a, b)\n--\n\nEchoes its call."};

class Registration : public ::testing::Test {
 protected:
  void SetUp() override { module_ = py::Ref::steal(PyModule_New("fresh")); }

  // Publishes the module to Python code as `module`.
  void expose() {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyDict_SetItemString(globals, "module", module_.get());
  }

  // The message of the exception that `step` raised through PythonErrorPending.
  template <class Step>
  std::string failure_of(Step step, PyObject* expected_type) {
    try {
      step();
    } catch (const py::PythonErrorPending&) {
      py::Ref error = take_exception();
      EXPECT_TRUE(error);
      if (!error) {
        return {};
      }
      EXPECT_EQ(Py_TYPE(error.get()), reinterpret_cast<PyTypeObject*>(expected_type));
      return text_of(error.get());
    }
    ADD_FAILURE() << "the step did not fail";
    return {};
  }

  py::Ref module_;
};

TEST_F(Registration, CreatedFunctionIsBoundToTheModule) {
  py::Ref function = create_function(module_.get(), kEcho);
  ASSERT_TRUE(function);
  expose();
  PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
  PyDict_SetItemString(globals, "f", function.get());
  EXPECT_EQ(text_of(evaluate("(f.__name__, f.__module__, f.__self__ is module)").get()),
            "('echo', 'fresh', True)");
  EXPECT_EQ(text_of(evaluate("(f.__text_signature__, f.__doc__)").get()),
            "('(a, b)', 'Echoes its call.')");
  EXPECT_EQ(text_of(evaluate("f(1, 2, x=3)[1:]").get()), "(2, ('x',))");
  EXPECT_EQ(text_of(evaluate("f()[0] is module").get()), "True");
}

TEST_F(Registration, NamelessModuleFailsWithItsPythonError) {
  run("import types\nnameless = types.ModuleType('gone')\ndel nameless.__name__");
  py::Ref nameless = evaluate("nameless");
  const std::string message =
      failure_of([&] { create_function(nameless.get(), kEcho); }, PyExc_SystemError);
  EXPECT_NE(message.find("nameless module"), std::string::npos) << message;
}

TEST_F(Registration, AddingCreatesAllAndAppendsInOrder) {
  for (const char* name : {"first", "second"}) {
    FunctionDescriptor descriptor = kEcho;
    descriptor.name = name;
    py::Ref function = create_function(module_.get(), descriptor);
    add_function(module_.get(), function.get());
  }
  expose();
  EXPECT_EQ(text_of(evaluate("module.__all__").get()), "['first', 'second']");
  EXPECT_EQ(text_of(evaluate("(module.first.__name__, module.second.__name__)").get()),
            "('first', 'second')");
}

TEST_F(Registration, ExistingListAndListSubclassAreExtended) {
  expose();
  run("class Names(list): pass\nmodule.__all__ = Names(['kept'])");
  py::Ref function = create_function(module_.get(), kEcho);
  add_function(module_.get(), function.get());
  EXPECT_EQ(text_of(evaluate("(type(module.__all__).__name__, module.__all__)").get()),
            "('Names', ['kept', 'echo'])");
}

TEST_F(Registration, AllThatIsNotAListIsRefused) {
  expose();
  run("module.__all__ = ('a', 'b')");
  py::Ref function = create_function(module_.get(), kEcho);
  EXPECT_EQ(failure_of([&] { add_function(module_.get(), function.get()); }, PyExc_TypeError),
            "'tuple' object cannot be converted to 'PyList'");
  EXPECT_EQ(text_of(evaluate("hasattr(module, 'echo')").get()), "False");
}

TEST_F(Registration, NameThatIsNotAStringIsRefused) {
  expose();
  run("class Odd:\n    __name__ = 5\nodd = Odd()");
  py::Ref odd = evaluate("odd");
  EXPECT_EQ(failure_of([&] { add_function(module_.get(), odd.get()); }, PyExc_TypeError),
            "'int' object cannot be converted to 'PyString'");
  EXPECT_EQ(text_of(evaluate("hasattr(module, '__all__')").get()), "False");
}

TEST_F(Registration, MissingNameIsTheAttributeError) {
  py::Ref nameless = evaluate("object()");
  const std::string message =
      failure_of([&] { add_function(module_.get(), nameless.get()); }, PyExc_AttributeError);
  EXPECT_NE(message.find("__name__"), std::string::npos) << message;
}

TEST_F(Registration, FailingAllLookupOtherThanMissingPropagates) {
  run(R"(
import types
class Strict(types.ModuleType):
    @property
    def __all__(self):
        raise KeyError('no __all__ for you')
strict = Strict('strict')
)");
  py::Ref strict = evaluate("strict");
  py::Ref function = create_function(strict.get(), kEcho);
  EXPECT_EQ(failure_of([&] { add_function(strict.get(), function.get()); }, PyExc_KeyError),
            "'no __all__ for you'");
}

TEST_F(Registration, RegisterModuleAddsBothFunctions) {
  register_module(module_.get());
  expose();
  EXPECT_EQ(text_of(evaluate("module.__all__").get()),
            "['denoise_linear_regression', 'denoise_decision_tree']");
  EXPECT_EQ(
      text_of(evaluate("[getattr(module, n).__text_signature__ for n in module.__all__]").get()),
      "['(samples, window_size, stride)', '(samples, window_size, stride)']");
  // A second module registers again without tripping over the installed logging bridge.
  py::Ref other = py::Ref::steal(PyModule_New("other"));
  register_module(other.get());
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace tacitor::registration
