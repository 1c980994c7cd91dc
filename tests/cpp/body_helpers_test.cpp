// The helpers of the handler bodies, where C shows what Python cannot: str
// internals, list capacity, types not yet readied, native callees.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>

#include "runtime/body_helpers.h"
#include "runtime/internals.h"
#include "runtime/python_compat.h"

namespace {

class BodyHelpersTest : public testing::Test {
 protected:
  void TearDown() override {
    if (PyErr_Occurred()) PyErr_Print();
    ASSERT_FALSE(PyErr_Occurred());
  }
};

std::string Utf8(PyObject* s) {
  const char* text = PyUnicode_AsUTF8(s);
  return text ? text : "<error>";
}

// --- decimal text ------------------------------------------------------------------------

void ExpectDecimal(Py_ssize_t v) {
  char expected[32];
  std::snprintf(expected, sizeof expected, "%zd", v);
  PyObject* got = Rt_SsizeToUnicode(v).release();
  ASSERT_TRUE(got);
  EXPECT_EQ(Utf8(got), expected) << v;
  EXPECT_TRUE(PyUnicode_CheckExact(got));
  EXPECT_TRUE(PyUnicode_IS_ASCII(got));
  EXPECT_EQ(PyUnicode_GET_LENGTH(got), static_cast<Py_ssize_t>(std::strlen(expected)));
  Py_DECREF(got);
}

TEST_F(BodyHelpersTest, DecimalTextOfEdgesAndASample) {
  for (Py_ssize_t v : {Py_ssize_t{0}, Py_ssize_t{7}, Py_ssize_t{10}, Py_ssize_t{99},
                       Py_ssize_t{100}, Py_ssize_t{-1}, Py_ssize_t{-9}, Py_ssize_t{-10},
                       Py_ssize_t{-100}, PY_SSIZE_T_MIN, PY_SSIZE_T_MIN + 1, PY_SSIZE_T_MAX})
    ExpectDecimal(v);
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    auto v = static_cast<Py_ssize_t>(rng());
    ExpectDecimal(v >> (rng() % 64));
  }
}

TEST_F(BodyHelpersTest, OneCharacterIsTheSharedStr) {
  for (int digit = 0; digit < 10; ++digit) {
    PyObject* got = Rt_SsizeToUnicode(digit).release();
    PyObject* shared = PyUnicode_FromOrdinal('0' + digit);
    EXPECT_EQ(got, shared);
    Py_XDECREF(got);
    Py_XDECREF(shared);
  }
}

// --- list appends ------------------------------------------------------------------------

TEST_F(BodyHelpersTest, AppendUsesSpareCapacityInPlace) {
  PyObject* list = PyList_New(0);
  PyObject* item = PyUnicode_FromString("item");
  ASSERT_EQ(PyList_Append(list, item), 0);
  auto* l = reinterpret_cast<PyListObject*>(list);
  ASSERT_GT(l->allocated, Py_SIZE(l));
  PyObject** storage = l->ob_item;
  Py_ssize_t before = Py_REFCNT(item);
  while (l->allocated > Py_SIZE(l)) {
    ASSERT_EQ(Rt_ListAppendFast(list, item), 0);
    EXPECT_EQ(l->ob_item, storage);  // no reallocation while there is room
  }
  Py_ssize_t appended = Py_SIZE(l) - 1;
  EXPECT_EQ(Py_REFCNT(item), before + appended);
  // Full: the list grows through the interpreter's append.
  ASSERT_EQ(Rt_ListAppendFast(list, item), 0);
  EXPECT_GT(l->allocated, Py_SIZE(l) - 1);
  EXPECT_EQ(PyList_GET_ITEM(list, Py_SIZE(l) - 1), item);
  EXPECT_EQ(Py_REFCNT(item), before + appended + 1);
  Py_DECREF(list);
  Py_DECREF(item);
}

// --- widths and joins --------------------------------------------------------------------

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// A str in the legacy representation, not yet ready (kind 0, no compact data).
// From 3.12 no such str exists: an ordinary one stands in.
PyObject* LegacyStr(const wchar_t* text) {
  Py_ssize_t n = static_cast<Py_ssize_t>(std::wcslen(text));
#if RT_PY312
  return PyUnicode_FromWideChar(text, n);
#else
  PyObject* s = PyUnicode_FromUnicode(nullptr, n);
  if (!s) return nullptr;
  Py_UNICODE* buffer = PyUnicode_AS_UNICODE(s);
  for (Py_ssize_t i = 0; i < n; ++i) buffer[i] = static_cast<Py_UNICODE>(text[i]);
  return s;
#endif
}
#pragma GCC diagnostic pop

TEST_F(BodyHelpersTest, MaxCharOfEveryKind) {
  struct Case {
    const char* utf8;
    Py_UCS4 widest;
  } cases[] = {{"", 127},
               {"abc", 127},
               {"caf\xc3\xa9", 255},
               {"\xc4\x80", 0xFFFF},
               {"\xf0\x9f\x98\x80", 0x10FFFF}};
  for (const Case& c : cases) {
    PyObject* s = PyUnicode_FromString(c.utf8);
    EXPECT_EQ(Rt_MaxCharOf(s), c.widest) << c.utf8;
    Py_DECREF(s);
  }
  PyObject* legacy = LegacyStr(L"abc");
  ASSERT_TRUE(legacy);
#if !RT_PY312
  ASSERT_FALSE(PyUnicode_IS_READY(legacy));
  EXPECT_EQ(Rt_MaxCharOf(legacy), 0x10FFFFu);  // no kind yet: assume the widest
#endif
  Py_DECREF(legacy);
}

TEST_F(BodyHelpersTest, JoinMakesPartsReadyAndCopiesAcrossKinds) {
  PyObject* legacy = LegacyStr(L"h\u00e9llo");
  PyObject* equals = PyUnicode_FromString("=");
  PyObject* wide = PyUnicode_FromString("\xe2\x82\xac");  // U+20AC, two bytes
  ASSERT_TRUE(legacy && equals && wide);
  PyObject* const latin[3] = {legacy, equals, equals};
  PyObject* joined = Rt_UnicodeJoin3(latin, 7, 255).release();
  ASSERT_TRUE(joined);
  EXPECT_TRUE(PyUnicode_IS_READY(legacy));
  EXPECT_EQ(Utf8(joined), "h\xc3\xa9llo==");
  EXPECT_EQ(PyUnicode_KIND(joined), static_cast<unsigned>(PyUnicode_1BYTE_KIND));
  Py_DECREF(joined);

  PyObject* const mixed[3] = {legacy, equals, wide};
  joined = Rt_UnicodeJoin3(mixed, 7, 0xFFFF).release();
  ASSERT_TRUE(joined);
  EXPECT_EQ(Utf8(joined), "h\xc3\xa9llo=\xe2\x82\xac");
  EXPECT_EQ(PyUnicode_KIND(joined), static_cast<unsigned>(PyUnicode_2BYTE_KIND));
  Py_DECREF(joined);
  Py_DECREF(legacy);
  Py_DECREF(equals);
  Py_DECREF(wide);
}

// --- method lookup on a type that was never readied ---------------------------------------

PyObject* Marker(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyMethodDef g_unready_methods[] = {{"m", Marker, METH_NOARGS, nullptr},
                                   {nullptr, nullptr, 0, nullptr}};
PyTypeObject g_unready_type;

TEST_F(BodyHelpersTest, MethodLookupReadiesTheType) {
  g_unready_type.tp_name = "unready";
  g_unready_type.tp_basicsize = sizeof(PyObject);
  g_unready_type.tp_flags = Py_TPFLAGS_DEFAULT;
  g_unready_type.tp_getattro = PyObject_GenericGetAttr;
  g_unready_type.tp_methods = g_unready_methods;
  // Not PyObject_Init, which takes the type for ready (debug builds of 3.14
  // assert it is immortal, as readying makes a static type).
  PyObject* obj = static_cast<PyObject*>(PyObject_Calloc(1, sizeof(PyObject)));
  obj->ob_refcnt = 1;
  obj->ob_type = &g_unready_type;
  ASSERT_EQ(g_unready_type.tp_dict, nullptr);
  PyObject* name = PyUnicode_InternFromString("m");
  PyObject_Hash(name);
  rt::Ref method;
  // The lookup readies it; the method comes back unbound or bound, as the build looks up.
  int unbound = Rt_LookupMethod(obj, name, method.out());
  EXPECT_NE(g_unready_type.tp_dict, nullptr);
  ASSERT_TRUE(method);
  EXPECT_EQ(Py_TYPE(method.get()), unbound ? &PyMethodDescr_Type : &PyCFunction_Type);
  PyObject* result = unbound ? PyObject_CallFunctionObjArgs(method.get(), obj, nullptr)
                             : PyObject_CallFunctionObjArgs(method.get(), nullptr);
  EXPECT_EQ(result, obj);
  Py_XDECREF(result);
  method.reset();
  Py_DECREF(name);
  PyObject_Free(obj);  // a static type has no deallocator of its own here
}

// --- keyword-only method calls into native code --------------------------------------------

PyObject* g_seen_kwnames;
Py_ssize_t g_seen_nargs;

PyObject* RecordKeywords(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  g_seen_nargs = nargs;
  Py_XINCREF(kwnames);
  Py_XSETREF(g_seen_kwnames, kwnames);
  if (kwnames && PyTuple_GET_SIZE(kwnames) == 1 && args[0] == Py_None)
    return nullptr;  // no error set
  Py_INCREF(args[nargs]);
  return args[nargs];
}

PyMethodDef g_record_def = {
    "record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(RecordKeywords)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

TEST_F(BodyHelpersTest, CallMethodKwPassesOnlyKeywords) {
  PyObject* module = PyModule_New("kwtarget");
  PyObject* func = PyCFunction_NewEx(&g_record_def, nullptr, nullptr);
  ASSERT_EQ(PyObject_SetAttrString(module, "record", func), 0);
  PyObject* name = PyUnicode_InternFromString("record");
  PyObject* kwnames = Py_BuildValue("(ss)", "name", "value");
  PyObject* first = PyUnicode_FromString("first");
  PyObject* second = PyUnicode_FromString("second");
  PyObject* args[3] = {module, first, second};
  PyObject* result = Rt_CallMethodKw(name, args, kwnames).release();
  EXPECT_EQ(result, first);
  EXPECT_EQ(g_seen_nargs, 0);
  EXPECT_EQ(g_seen_kwnames, kwnames);
  EXPECT_EQ(args[0], module);
  Py_XDECREF(result);

  // A native callee that fails without an exception is reported (a debug
  // interpreter stops the process there instead, by design).
  PyObject* one_name = Py_BuildValue("(s)", "name");
#ifndef Py_DEBUG
  PyObject* none_args[2] = {module, Py_None};
  EXPECT_EQ(Rt_CallMethodKw(name, none_args, one_name).get(), nullptr);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_SystemError));
  PyErr_Clear();
#endif

  Py_CLEAR(g_seen_kwnames);
  for (PyObject* o : {module, func, name, kwnames, first, second, one_name}) Py_DECREF(o);
}

}  // namespace
