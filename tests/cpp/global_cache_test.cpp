// Module-global reads through a GlobalLookupCache: the two words and when the
// module dict is consulted.
#include <Python.h>
#include <gtest/gtest.h>

#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "tests/compat_probes.h"

namespace {

// Interned, hash cached: how module code passes names.
PyObject* Name(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name && PyObject_Hash(name) == -1) Py_CLEAR(name);
  return name;
}

// The version the cache compares with: the dict's tag, or from 3.14 what the
// runtime's dict watcher counts; 0 without the internals.
uint64_t DictVersion(PyObject* dict) { return rt::internals::ModuleDictVersion(dict); }

class GlobalCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!RT_FAST_GLOBAL_CACHE) GTEST_SKIP() << "the read sites cache only with their fast path";
    dict_ = Rt_ModuleDict();
    ASSERT_TRUE(dict_);
  }
  void TearDown() override {
    if (!dict_) return;  // skipped
    for (const char* key : {"gc_value", "gc_other", "gc_missing", "len"}) {
      PyObject* name = Name(key);
      if (PyDict_GetItemWithError(dict_, name) && PyDict_DelItem(dict_, name) < 0) PyErr_Print();
      Py_DECREF(name);
    }
    if (PyErr_Occurred()) PyErr_Print();
    ASSERT_FALSE(PyErr_Occurred());
  }
  void Store(const char* key, PyObject* value) {
    PyObject* name = Name(key);
    ASSERT_EQ(PyDict_SetItem(dict_, name, value), 0);
    Py_DECREF(name);
  }
  PyObject* dict_ = nullptr;
};

TEST_F(GlobalCacheTest, ReadRecordsVersionAndValue) {
  PyObject* name = Name("gc_value");
  PyObject* value = PyLong_FromLong(123456);
  Store("gc_value", value);
  GlobalLookupCache cache{0, nullptr};
  Py_ssize_t before = Py_REFCNT(value);
  PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, value);
  EXPECT_EQ(Py_REFCNT(value), before + 1);
  EXPECT_EQ(cache.version, DictVersion(dict_));
  EXPECT_NE(cache.version, 0u);
  EXPECT_EQ(cache.value, value);  // borrowed: the dict owns it
  Py_DECREF(got);
  Py_DECREF(value);
  Py_DECREF(name);
}

TEST_F(GlobalCacheTest, UnchangedVersionAnswersFromTheCache) {
  PyObject* name = Name("gc_value");
  PyObject* value = PyLong_FromLong(1);
  PyObject* sentinel = PyUnicode_FromString("only in the cache");
  Store("gc_value", value);
  GlobalLookupCache cache{0, nullptr};
  (void)Rt_GetModuleGlobal(name, &cache);
  // Nothing looks in the dict while its version stands: the cached word is it.
  cache.value = sentinel;
  PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, sentinel);
  Py_XDECREF(got);
  // Any store into the dict, even of another name, forces a new lookup.
  Store("gc_other", Py_None);
  EXPECT_NE(cache.version, DictVersion(dict_));
  got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, value);
  EXPECT_EQ(cache.value, value);
  EXPECT_EQ(cache.version, DictVersion(dict_));
  Py_XDECREF(got);
  Py_DECREF(sentinel);
  Py_DECREF(value);
  Py_DECREF(name);
}

TEST_F(GlobalCacheTest, RebindingIsSeen) {
  PyObject* name = Name("gc_value");
  PyObject* first = PyLong_FromLong(1001);
  PyObject* second = PyLong_FromLong(1002);
  Store("gc_value", first);
  GlobalLookupCache cache{0, nullptr};
  (void)Rt_GetModuleGlobal(name, &cache);
  uint64_t seen = cache.version;
  Store("gc_value", second);
  PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, second);
  EXPECT_NE(cache.version, seen);
  Py_XDECREF(got);
  Py_DECREF(first);
  Py_DECREF(second);
  Py_DECREF(name);
}

TEST_F(GlobalCacheTest, MissingNameRecordsTheVersionAndRaises) {
  PyObject* name = Name("gc_missing");
  GlobalLookupCache cache{0, nullptr};
  EXPECT_FALSE(Rt_GetModuleGlobal(name, &cache));
  ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_NameError));
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* text = PyObject_Str(value);
  EXPECT_STREQ(PyUnicode_AsUTF8(text), "name 'gc_missing' is not defined");
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  EXPECT_EQ(cache.version, DictVersion(dict_));
  EXPECT_EQ(cache.value, nullptr);

  // With the version unchanged only builtins are asked: a builtin of that name
  // answers at once.
  PyObject* builtin = PyUnicode_FromString("from builtins");
  ASSERT_EQ(PyObject_SetAttr(Rt_BuiltinsModule(), name, builtin), 0);
  PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, builtin);
  EXPECT_EQ(cache.value, nullptr);  // builtins are never cached
  Py_XDECREF(got);
  ASSERT_EQ(PyObject_DelAttr(Rt_BuiltinsModule(), name), 0);
  Py_DECREF(builtin);
  Py_DECREF(name);
}

TEST_F(GlobalCacheTest, BuiltinsAreReadEveryTimeAndShadowed) {
  PyObject* name = Name("len");
  PyObject* builtin_len = PyObject_GetAttr(Rt_BuiltinsModule(), name);
  GlobalLookupCache cache{0, nullptr};
  PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, builtin_len);
  EXPECT_EQ(cache.value, nullptr);
  Py_XDECREF(got);

  PyObject* mine = PyUnicode_FromString("module len");
  Store("len", mine);
  got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, mine);
  EXPECT_EQ(cache.value, mine);
  Py_XDECREF(got);

  ASSERT_EQ(PyDict_DelItem(dict_, name), 0);
  got = Rt_GetModuleGlobal(name, &cache).release();
  EXPECT_EQ(got, builtin_len);
  EXPECT_EQ(cache.value, nullptr);
  Py_XDECREF(got);
  Py_DECREF(mine);
  Py_DECREF(builtin_len);
  Py_DECREF(name);
}

TEST_F(GlobalCacheTest, LookupErrorFallsBackToBuiltins) {
  // A key of another type with the same hash whose comparison raises: the dict
  // lookup fails, the error is dropped and builtins are asked.
  PyObject* name = Name("len");
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* key = PyRun_String(
      "type('Clash', (), {'__hash__': lambda self: hash('len'),"
      " '__eq__': lambda self, other: 1 / 0})()",
      Py_eval_input, globals, globals);
  ASSERT_TRUE(key);
  ASSERT_EQ(PyDict_SetItem(dict_, key, Py_None), 0);
  GlobalLookupCache cache{0, nullptr};
  PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
  PyObject* builtin_len = PyObject_GetAttr(Rt_BuiltinsModule(), name);
  EXPECT_EQ(got, builtin_len);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(cache.version, DictVersion(dict_));
  Py_XDECREF(got);
  Py_XDECREF(builtin_len);
  // Deleting the clashing key compares it with itself only by identity.
  EXPECT_EQ(PyDict_DelItem(dict_, key), 0);
  Py_DECREF(key);
  Py_DECREF(globals);
  Py_DECREF(name);
}

// Every way of changing the dict is seen, the dict's own methods included
// (from 3.14 a watcher, not the dict, tells).
TEST_F(GlobalCacheTest, EveryKindOfChangeIsSeen) {
  struct Case {
    const char* change;  // run with `d` the module dict
    const char* expect;  // repr of what the read then finds
  };
  const Case cases[] = {
      {"d['gc_value'] = 'set'", "'set'"},
      {"d.update(gc_value='updated')", "'updated'"},
      {"d.update({'gc_value': 'merged'})", "'merged'"},
      {"d.pop('gc_value'); d.setdefault('gc_value', 'defaulted')", "'defaulted'"},
      {"del d['gc_value']", "'from builtins'"},
  };
  PyObject* name = Name("gc_value");
  PyObject* builtin = PyUnicode_FromString("from builtins");
  ASSERT_EQ(PyObject_SetAttr(Rt_BuiltinsModule(), name, builtin), 0);
  PyObject* locals = PyDict_New();
  PyDict_SetItemString(locals, "d", dict_);
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  Store("gc_value", Py_None);
  GlobalLookupCache cache{0, nullptr};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    Py_XDECREF(Rt_GetModuleGlobal(name, &cache).release());  // cached before the change
    PyObject* done = PyRun_String(c.change, Py_file_input, globals, locals);
    ASSERT_TRUE(done);
    Py_DECREF(done);
    PyObject* got = Rt_GetModuleGlobal(name, &cache).release();
    ASSERT_TRUE(got);
    PyObject* repr = PyObject_Repr(got);
    EXPECT_STREQ(PyUnicode_AsUTF8(repr), c.expect);
    Py_XDECREF(repr);
    Py_DECREF(got);
    Store("gc_value", Py_None);
  }
  ASSERT_EQ(PyObject_DelAttr(Rt_BuiltinsModule(), name), 0);
  Py_DECREF(globals);
  Py_DECREF(locals);
  Py_DECREF(builtin);
  Py_DECREF(name);
}

}  // namespace
