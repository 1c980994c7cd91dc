// The interpreter-version parsing and check of module start-up.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

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
  EXPECT_EQ(Rt_CheckVersion(0x03080000u, "m"), 0);
  EXPECT_EQ(Rt_CheckVersion(0x0308FFFFu, "m"), 0);
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

  EXPECT_EQ(Rt_CheckVersion(0x03090100u, "velmora.server.handlers.info.hostfacts"), 0);
  ASSERT_EQ(PyList_Size(log), 1);
  PyObject* message = PyObject_GetAttrString(PyList_GET_ITEM(log, 0), "message");
  PyObject* text = PyObject_Str(message);
  EXPECT_STREQ(PyUnicode_AsUTF8(text),
               "compile time Python version 3.8 of module "
               "'velmora.server.handlers.info.hostfacts' does not match runtime version 3.9");
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
