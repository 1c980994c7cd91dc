// The interpreter-version parsing and check of module start-up.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

namespace {
// The version these modules were built for, and the minor version after it.
constexpr uint32_t kBuilt = (PY_MAJOR_VERSION << 24) | (PY_MINOR_VERSION << 16);
constexpr uint32_t kNext = kBuilt + (1u << 16);
std::string Expected(const char* module) {
  return "compile time Python version " + std::to_string(PY_MAJOR_VERSION) + "." +
         std::to_string(PY_MINOR_VERSION) + " of module '" + module +
         "' does not match runtime version " + std::to_string(PY_MAJOR_VERSION) + "." +
         std::to_string(PY_MINOR_VERSION + 1);
}
}  // namespace

#include "runtime/module_descriptor.h"
#include "runtime/version_check.h"

TEST(VersionParse, ReadsUpToFourComponents) {
  EXPECT_EQ(Rt_ParseVersion("3.8.10 (default, May  9 2026)"), 0x03080A00u);
  EXPECT_EQ(Rt_ParseVersion("3.8.18"), 0x03081200u);
  EXPECT_EQ(Rt_ParseVersion("3.9"), 0x03090000u);
  EXPECT_EQ(Rt_ParseVersion("3.8.1.2.9"), 0x03080102u);  // a fifth component is never read
  EXPECT_EQ(Rt_ParseVersion("3..7"), 0x03000700u);       // an empty run reads as 0
  EXPECT_EQ(Rt_ParseVersion(""), 0u);
  EXPECT_EQ(Rt_ParseVersion("12.255.3+"), 0x0CFF0300u);
}

TEST(VersionCheck, OnlyMajorAndMinorMatter) {
  EXPECT_EQ(Rt_CheckVersion(kBuilt, "m"), 0);
  EXPECT_EQ(Rt_CheckVersion(kBuilt | 0xFFFFu, "m"), 0);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(VersionCheck, MismatchWarnsWithTheModuleName) {
  PyObject* warnings = PyImport_ImportModule("warnings");
  ASSERT_TRUE(warnings);
  PyObject* factory = PyObject_GetAttrString(warnings, "catch_warnings");
  PyObject* no_args = PyTuple_New(0);
  PyObject* kwargs = Py_BuildValue("{s:O}", "record", Py_True);
  PyObject* catcher = PyObject_Call(factory, no_args, kwargs);
  Py_DECREF(kwargs);
  Py_DECREF(no_args);
  Py_DECREF(factory);
  ASSERT_TRUE(catcher);
  PyObject* log = PyObject_CallMethod(catcher, "__enter__", "()");
  ASSERT_TRUE(log);
  PyObject* r = PyObject_CallMethod(warnings, "simplefilter", "s", "always");
  Py_XDECREF(r);

  EXPECT_EQ(Rt_CheckVersion(kNext | 0x0100u, "velmora.server.handlers.info.hostfacts"), 0);
  ASSERT_EQ(PyList_Size(log), 1);
  PyObject* message = PyObject_GetAttrString(PyList_GET_ITEM(log, 0), "message");
  PyObject* text = PyObject_Str(message);
  EXPECT_EQ(PyUnicode_AsUTF8(text), Expected("velmora.server.handlers.info.hostfacts"));
#if PY_VERSION_HEX < 0x03090000
  EXPECT_EQ(Expected("m"),
            "compile time Python version 3.8 of module 'm' does not match "
            "runtime version 3.9");
#endif
  EXPECT_TRUE(PyObject_IsInstance(message, PyExc_RuntimeWarning));
  Py_DECREF(text);
  Py_DECREF(message);

  r = PyObject_CallMethod(catcher, "__exit__", "OOO", Py_None, Py_None, Py_None);
  Py_XDECREF(r);
  Py_DECREF(log);
  Py_DECREF(catcher);
  Py_DECREF(warnings);
}

TEST(VersionCheck, WarningAsErrorFails) {
  PyObject* warnings = PyImport_ImportModule("warnings");
  PyObject* filters = PyObject_GetAttrString(warnings, "filters");
  PyObject* saved = PySequence_List(filters);
  PyObject* r = PyObject_CallMethod(warnings, "simplefilter", "s", "error");
  Py_XDECREF(r);
  EXPECT_EQ(Rt_CheckVersion(0x02070000u, "m"), -1);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeWarning));
  PyErr_Clear();
  PyObject_SetAttrString(warnings, "filters", saved);
  Py_DECREF(saved);
  Py_DECREF(filters);
  Py_DECREF(warnings);
}
