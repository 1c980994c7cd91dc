// The shared type registry: keys, the check of a registered type, and the
// fix-up that PyType_FromSpec cannot do by itself.
#include <Python.h>
#include <gtest/gtest.h>
#include <structmember.h>

#include <cstddef>
#include <string>

#include "runtime/compiled_function.h"
#include "runtime/module_state.h"
#include "runtime/shared_types.h"

namespace {

std::string TakeTypeError() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  EXPECT_EQ(type, PyExc_TypeError);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  std::string message = text ? PyUnicode_AsUTF8(text) : "";
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return message;
}

PyObject* SharedDict() {
  PyObject* module = PyImport_AddModule(RT_SHARED_MODULE_NAME);  // borrowed
  return module ? PyModule_GetDict(module) : nullptr;
}

TEST(SharedTypeCheck, RefusesWhatIsNotAType) {
  PyObject* number = PyLong_FromLong(7);
  EXPECT_EQ(Rt_CheckSharedType(number, "compiled_function_or_method", 176), -1);
  EXPECT_EQ(TakeTypeError(),
            "Shared runtime type compiled_function_or_method is not a type object");
  Py_DECREF(number);
}

TEST(SharedTypeCheck, ComparesTheBasicSizeOnlyWhenAsked) {
  PyObject* type = reinterpret_cast<PyObject*>(&PyLong_Type);
  EXPECT_EQ(Rt_CheckSharedType(type, "t", PyLong_Type.tp_basicsize), 0);
  EXPECT_EQ(Rt_CheckSharedType(type, "t", 0), 0);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(Rt_CheckSharedType(type, "compiled_function_or_method", 176), -1);
  EXPECT_EQ(TakeTypeError(),
            "Shared runtime type compiled_function_or_method has the wrong size, try recompiling");
}

TEST(SharedTypeCheck, CapsTheNameAt200Bytes) {
  std::string name(300, 'n');
  EXPECT_EQ(Rt_CheckSharedType(Py_None, name.c_str(), 0), -1);
  EXPECT_EQ(TakeTypeError(),
            "Shared runtime type " + std::string(200, 'n') + " is not a type object");
}

TEST(SharedTypes, StartUpRegisteredBothTypes) {
  PyObject* dict = SharedDict();
  ASSERT_NE(dict, nullptr);
  EXPECT_EQ(PyDict_GetItemString(dict, "compiled_function_or_method"),
            reinterpret_cast<PyObject*>(Rt_FunctionType()));
  EXPECT_EQ(PyDict_GetItemString(dict, "_common_types_metatype"),
            reinterpret_cast<PyObject*>(Rt_CommonMetatype()));
  auto* function_type = Rt_FunctionType();
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(function_type)),
            reinterpret_cast<PyObject*>(Rt_CommonMetatype()));
  EXPECT_EQ(function_type->tp_basicsize, static_cast<Py_ssize_t>(sizeof(CompiledFunction)));
  // The offsets exist only because the fix-up copied them from the members.
  EXPECT_EQ(function_type->tp_dictoffset,
            static_cast<Py_ssize_t>(offsetof(CompiledFunction, dict)));
  EXPECT_EQ(function_type->tp_weaklistoffset,
            static_cast<Py_ssize_t>(offsetof(PyCFunctionObject, m_weakreflist)));
  EXPECT_EQ(function_type->tp_vectorcall_offset,
            static_cast<Py_ssize_t>(offsetof(PyCFunctionObject, vectorcall)));
  PyObject* module_descr = PyDict_GetItemString(function_type->tp_dict, "__module__");
  ASSERT_NE(module_descr, nullptr);
  EXPECT_EQ(Py_TYPE(module_descr), &PyMemberDescr_Type);
}

// A small type of the test's own, registered under a name without a dot.
struct Plain {
  PyObject_HEAD PyObject* dict;
  PyObject* weakrefs;
  PyObject* value;
};

PyMemberDef g_plain_members[] = {
    {const_cast<char*>("value"), T_OBJECT, offsetof(Plain, value), 0, nullptr},
    {const_cast<char*>("__dictoffset__"), T_PYSSIZET, offsetof(Plain, dict), READONLY, nullptr},
    {const_cast<char*>("__weaklistoffset__"), T_PYSSIZET, offsetof(Plain, weakrefs), READONLY,
     nullptr},
    {const_cast<char*>("__ignored__"), T_PYSSIZET, offsetof(Plain, value), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot g_plain_slots[] = {{Py_tp_members, g_plain_members}, {0, nullptr}};
PyType_Spec g_plain_spec = {"rt_test_plain_type", sizeof(Plain), 0, Py_TPFLAGS_DEFAULT,
                            g_plain_slots};

TEST(SharedTypes, NameWithoutADotIsTheWholeKey) {
  PyObject* dict = SharedDict();
  ASSERT_NE(dict, nullptr);
  ASSERT_EQ(PyDict_GetItemString(dict, "rt_test_plain_type"), nullptr);
  auto* metatype = Rt_CommonMetatype();
  PyObject* created = Rt_FetchSharedType(metatype, &g_plain_spec, nullptr).release();
  ASSERT_NE(created, nullptr) << (PyErr_Print(), "");
  EXPECT_EQ(PyDict_GetItemString(dict, "rt_test_plain_type"), created);
  auto* type = reinterpret_cast<PyTypeObject*>(created);
  EXPECT_EQ(reinterpret_cast<PyTypeObject*>(Py_TYPE(created)), metatype);
  EXPECT_EQ(type->tp_dictoffset, static_cast<Py_ssize_t>(offsetof(Plain, dict)));
  EXPECT_EQ(type->tp_weaklistoffset, static_cast<Py_ssize_t>(offsetof(Plain, weakrefs)));
  EXPECT_EQ(type->tp_vectorcall_offset, 0);
  Py_ssize_t refs = Py_REFCNT(created);
  PyObject* again = Rt_FetchSharedType(metatype, &g_plain_spec, nullptr).release();
  EXPECT_EQ(again, created);
  EXPECT_EQ(Py_REFCNT(created), refs + 1);
  Py_XDECREF(again);
  // Registered types are never removed by the runtime; the test cleans up.
  EXPECT_EQ(PyDict_DelItemString(dict, "rt_test_plain_type"), 0);
  Py_DECREF(created);
}

TEST(SharedTypes, FetchRefusesARegisteredNonType) {
  PyObject* dict = SharedDict();
  ASSERT_NE(dict, nullptr);
  PyObject* seeded = PyUnicode_FromString("seeded");
  ASSERT_EQ(PyDict_SetItemString(dict, "rt_test_plain_type", seeded), 0);
  EXPECT_EQ(Rt_FetchSharedType(nullptr, &g_plain_spec, nullptr).get(), nullptr);
  EXPECT_EQ(TakeTypeError(), "Shared runtime type rt_test_plain_type is not a type object");
  EXPECT_EQ(PyDict_GetItemString(dict, "rt_test_plain_type"), seeded);
  EXPECT_EQ(PyDict_DelItemString(dict, "rt_test_plain_type"), 0);
  Py_DECREF(seeded);
}

}  // namespace
