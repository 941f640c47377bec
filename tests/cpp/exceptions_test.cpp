// The converter from C++ exceptions to Python exceptions, against a real interpreter.

#include "exceptions.hpp"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/cancellation.hpp"
#include "common/internal_failure.hpp"
#include "embedded_python.hpp"

namespace tacitor::py {
namespace {

using testing::take_exception;
using testing::text_of;

// Throws `thrown` and converts it as an entry point's catch-all handler does.
template <class Thrown>
Ref converted(Thrown thrown) {
  try {
    throw thrown;
  } catch (...) {
    set_python_error_from_current_exception();
  }
  return take_exception();
}

TEST(InternalFailureClass, DerivesDirectlyFromBaseExceptionAndIsCreatedOnce) {
  PyObject* type = internal_failure_class();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type, internal_failure_class());
  ASSERT_TRUE(PyType_Check(type));
  auto* as_type = reinterpret_cast<PyTypeObject*>(type);
  EXPECT_EQ(as_type->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));
  EXPECT_EQ(text_of(Ref::steal(PyObject_GetAttrString(type, "__module__")).get()), "tacitor");
  EXPECT_EQ(text_of(Ref::steal(PyObject_GetAttrString(type, "__qualname__")).get()),
            "InternalFailure");
  EXPECT_NE(as_type->tp_doc, nullptr);
}

TEST(Conversion, InternalFailureKeepsItsTextAsTheOnlyArgument) {
  Ref error = converted(InternalFailure("broken invariant: 3 != 4"));
  ASSERT_TRUE(error);
  EXPECT_EQ(Py_TYPE(error.get()), reinterpret_cast<PyTypeObject*>(internal_failure_class()));
  Ref args = Ref::steal(PyObject_GetAttrString(error.get(), "args"));
  EXPECT_EQ(text_of(args.get()), "('broken invariant: 3 != 4',)");
}

TEST(Conversion, InternalFailureWritesOneLineWithARelativeLocation) {
  ::testing::internal::CaptureStderr();
  Ref error;
  try {
    raise_internal_failure("broken invariant");
  } catch (...) {
    set_python_error_from_current_exception();
    error = take_exception();
  }
  const std::string printed = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(error);
  // The path as the source tree names it, then the line and the text; no function signature.
  const std::string prefix = "tacitor: internal failure at tests/cpp/exceptions_test.cpp:";
  EXPECT_EQ(printed.rfind(prefix, 0), 0u) << printed;
  EXPECT_EQ(printed.find(": broken invariant\n"), printed.size() - 19) << printed;
  EXPECT_EQ(printed.find("tacitor::"), std::string::npos) << printed;
}

TEST(Conversion, CancelledKeepsTheHandlersExceptionOrIsAKeyboardInterrupt) {
  PyErr_SetString(PyExc_RuntimeError, "raised by a signal handler");
  Ref handlers = converted(Cancelled());
  ASSERT_TRUE(handlers);
  EXPECT_TRUE(PyErr_GivenExceptionMatches(handlers.get(), PyExc_RuntimeError));
  Ref without = converted(Cancelled());
  ASSERT_TRUE(without);
  EXPECT_EQ(Py_TYPE(without.get()), reinterpret_cast<PyTypeObject*>(PyExc_KeyboardInterrupt));
}

TEST(Conversion, EmptyTextBecomesTheGenericOne) {
  Ref error = converted(InternalFailure(""));
  ASSERT_TRUE(error);
  EXPECT_EQ(text_of(error.get()), "internal failure without a message");
}

TEST(Conversion, BadAllocIsMemoryError) {
  Ref error = converted(std::bad_alloc());
  ASSERT_TRUE(error);
  EXPECT_TRUE(PyErr_GivenExceptionMatches(error.get(), PyExc_MemoryError));
}

TEST(Conversion, OtherExceptionsAreInternalFailuresWithTheirText) {
  ::testing::internal::CaptureStderr();
  Ref error = converted(std::length_error("vector too long"));
  Ref unknown = converted(42);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(error && unknown);
  EXPECT_EQ(Py_TYPE(error.get()), reinterpret_cast<PyTypeObject*>(internal_failure_class()));
  EXPECT_EQ(text_of(error.get()), "vector too long");
  EXPECT_EQ(Py_TYPE(unknown.get()), reinterpret_cast<PyTypeObject*>(internal_failure_class()));
  EXPECT_EQ(text_of(unknown.get()), "internal failure without a message");
  EXPECT_NE(printed.find("vector too long"), std::string::npos);
}

TEST(Conversion, PendingPythonErrorIsKept) {
  PyErr_SetString(PyExc_KeyError, "the key");
  Ref error = converted(PythonErrorPending());
  ASSERT_TRUE(error);
  EXPECT_TRUE(PyErr_GivenExceptionMatches(error.get(), PyExc_KeyError));
}

TEST(Conversion, PendingPythonErrorThatIsMissingIsASystemError) {
  Ref error = converted(PythonErrorPending());
  ASSERT_TRUE(error);
  EXPECT_EQ(Py_TYPE(error.get()), reinterpret_cast<PyTypeObject*>(PyExc_SystemError));
  EXPECT_EQ(text_of(error.get()), "attempted to fetch exception but none was set");
}

TEST(Conversion, InternalFailureReplacesAPendingError) {
  PyErr_SetString(PyExc_ValueError, "stale");
  Ref error = converted(InternalFailure("fresh"));
  ASSERT_TRUE(error);
  EXPECT_EQ(text_of(error.get()), "fresh");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(Helpers, PendingErrorTextNamesTheTypeAndClears) {
  EXPECT_EQ(take_pending_error_text(), "");
  PyErr_SetString(PyExc_ImportError, "no module named x");
  EXPECT_EQ(take_pending_error_text(), "ImportError: no module named x");
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  EXPECT_EQ(take_pending_error_text(), "KeyboardInterrupt");
}

TEST(Helpers, ConversionErrorNamesTheQualifiedType) {
  testing::run("class Outer:\n    class Inner: pass\nthing = Outer.Inner()");
  Ref thing = testing::evaluate("thing");
  ASSERT_TRUE(thing);
  EXPECT_THROW(throw_conversion_error(thing.get(), "PyString"), PythonErrorPending);
  Ref error = take_exception();
  ASSERT_TRUE(error);
  EXPECT_EQ(Py_TYPE(error.get()), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  EXPECT_EQ(text_of(error.get()), "'Outer.Inner' object cannot be converted to 'PyString'");
}

TEST(Helpers, InvalidUtf8IsReplacedNotRefused) {
  Ref text = Ref::steal(to_str(std::string_view("ok \xff end")));
  ASSERT_TRUE(text);
  EXPECT_EQ(text_of(text.get()), "ok \xef\xbf\xbd end");
}

}  // namespace
}  // namespace tacitor::py
