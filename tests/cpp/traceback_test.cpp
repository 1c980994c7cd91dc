// Traceback entries for code without frames: what each entry names, which
// exception carries it, and how the entries share their code objects.
#include <Python.h>
#include <frameobject.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "runtime/traceback_frames.h"
#include "tests/compat_probes.h"

namespace {

constexpr char kSource[] = "pkg/handlers/mod.py";

// Each test starts from an empty code-object cache and no pending exception.
class Traceback : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_state.code_cache;
    g_state.code_cache = {0, 0, nullptr};
    value_ = PyObject_CallFunction(PyExc_ValueError, "s", "boom");
    ASSERT_NE(value_, nullptr);
  }
  void TearDown() override {
    PyErr_Clear();
    Rt_ReleaseSpareFrames();
    CodeObjectCache& cache = g_state.code_cache;
    for (int i = 0; i < cache.count; ++i) Py_DECREF(cache.entries[i].code);
    PyMem_Free(cache.entries);
    g_state.code_cache = saved_;
    Py_XDECREF(value_);
  }
  // Sets value_ pending, as a raise inside module code leaves it.
  void Raise() {
    Py_INCREF(PyExc_ValueError);
    Py_INCREF(value_);
    PyErr_Restore(PyExc_ValueError, value_, nullptr);
  }
  // The pending traceback (borrowed), the exception left pending.
  static PyTracebackObject* PendingTraceback() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_Restore(type, value, tb);
    return reinterpret_cast<PyTracebackObject*>(tb);
  }
  static std::string Utf8(PyObject* text) { return PyUnicode_AsUTF8(text); }
  // Borrowed (the frame keeps both); frames are opaque from 3.11.
  static PyCodeObject* CodeOf(PyTracebackObject* tb) {
    PyCodeObject* code = Rt_FrameCode(tb->tb_frame);
    Py_DECREF(code);
    return code;
  }
  // The line as Python reads it: from 3.12 the field is filled on first read.
  // A pending exception is set aside meanwhile (a debug interpreter asserts
  // that no lookup starts with one).
  static long LineOf(PyTracebackObject* tb) {
    PyObject *type, *value, *pending_tb;
    PyErr_Fetch(&type, &value, &pending_tb);
    PyObject* line = PyObject_GetAttrString(reinterpret_cast<PyObject*>(tb), "tb_lineno");
    long n = line ? PyLong_AsLong(line) : -2;
    Py_XDECREF(line);
    PyErr_Restore(type, value, pending_tb);
    return n;
  }
  // From 3.12 a raised exception keeps its traceback: cleared, it still holds it.
  void ForgetTraceback() {
#if RT_PY312
    PyException_SetTraceback(value_, Py_None);
#endif
  }
  static PyObject* GlobalsOf(PyTracebackObject* tb) {
    PyObject* globals = Rt_FrameGlobals(tb->tb_frame);
    Py_DECREF(globals);
    return globals;
  }
  static std::vector<int> CachedLines() {
    std::vector<int> lines;
    for (int i = 0; i < g_state.code_cache.count; ++i)
      lines.push_back(g_state.code_cache.entries[i].line);
    return lines;
  }

  PyObject* value_ = nullptr;

 private:
  CodeObjectCache saved_{};
};

TEST_F(Traceback, EntryNamesSourceLineAndFunction) {
  Raise();
  Py_ssize_t refs = Py_REFCNT(value_);
  Rt_AddTraceback("pkg.handlers.mod.Handler._get", 30, kSource);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_EQ(value, value_);  // the very object, not a copy or a normalised stand-in
  EXPECT_EQ(Py_REFCNT(value_), refs);
  ASSERT_NE(tb, nullptr);
  ASSERT_TRUE(PyTraceBack_Check(tb));
  auto* entry = reinterpret_cast<PyTracebackObject*>(tb);
  EXPECT_EQ(entry->tb_next, nullptr);
  EXPECT_EQ(LineOf(entry), 30);
  EXPECT_EQ(Utf8(CodeOf(entry)->co_filename), kSource);
  EXPECT_EQ(Utf8(CodeOf(entry)->co_name), "pkg.handlers.mod.Handler._get");
  EXPECT_EQ(CodeOf(entry)->co_firstlineno, 30);
  EXPECT_EQ(GlobalsOf(entry), g_state.module_dict);
  PyErr_Restore(type, value, tb);
}

TEST_F(Traceback, EachEntryIsAddedInFrontOfTheEarlierOnes) {
  Raise();
  Rt_AddTraceback("inner", 30, kSource);
  PyTracebackObject* first = PendingTraceback();
  Py_INCREF(first);
  Rt_AddTraceback("outer", 27, kSource);
  PyTracebackObject* second = PendingTraceback();
  EXPECT_EQ(second->tb_next, first);
  EXPECT_EQ(LineOf(second), 27);
  EXPECT_EQ(Utf8(CodeOf(second)->co_name), "outer");
  // The earlier entry is untouched.
  EXPECT_EQ(first->tb_next, nullptr);
  EXPECT_EQ(LineOf(first), 30);
  EXPECT_EQ(Utf8(CodeOf(first)->co_name), "inner");
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  EXPECT_EQ(value, value_);
  PyErr_Restore(type, value, tb);
  Py_DECREF(first);
}

TEST_F(Traceback, LinesArrivingOutOfOrderAreCachedInOrder) {
  Raise();
  for (int line : {30, 27, 39, 27}) Rt_AddTraceback("f", line, kSource);
  EXPECT_EQ(CachedLines(), (std::vector<int>{27, 30, 39}));
  PyTracebackObject* last = PendingTraceback();
  // Entries: 27 (head), 39, 27, 30; both 27s share the cached code object.
  PyTracebackObject* earlier27 = last->tb_next->tb_next;
  ASSERT_EQ(LineOf(earlier27), 27);
  EXPECT_EQ(CodeOf(last), CodeOf(earlier27));
  EXPECT_EQ(reinterpret_cast<PyObject*>(CodeOf(last)), g_state.code_cache.entries[0].code);
}

TEST_F(Traceback, SecondEntryAtALineReusesItsCodeObject) {
  Raise();
  Rt_AddTraceback("f", 26, kSource);
  Rt_AddTraceback("f", 26, kSource);
  PyTracebackObject* tb = PendingTraceback();
  EXPECT_EQ(CodeOf(tb), CodeOf(tb->tb_next));
  ASSERT_EQ(CachedLines(), std::vector<int>{26});
  PyObject* code = g_state.code_cache.entries[0].code;
  EXPECT_EQ(reinterpret_cast<PyObject*>(CodeOf(tb)), code);
  // Once the exception is gone only the cache (and the kept frame) holds the code object.
  PyErr_Clear();
  ForgetTraceback();
  Rt_ReleaseSpareFrames();
  EXPECT_EQ(Py_REFCNT(code), 1);
}

// Names that take turns at one line, ASCII or not, each show on their own
// entry, however often the same name comes back.
TEST_F(Traceback, NamesTakingTurnsAtOneLineEachShowTheirOwn) {
  const char* const names[] = {"pkg.mod.f",         "pkg.mod.g\xc3\xa9", "pkg.mod.f", "pkg.mod.f",
                               "pkg.mod.g\xc3\xa9", "pkg.mod.g\xc3\xa9", "pkg.mod.f"};
  Raise();
  for (const char* name : names) Rt_AddTraceback(name, 30, kSource);
  ASSERT_EQ(PyErr_Occurred(), PyExc_ValueError);  // the caller's exception still pending
  PyTracebackObject* tb = PendingTraceback();
  for (size_t i = sizeof names / sizeof names[0]; i-- > 0; tb = tb->tb_next) {
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(Utf8(CodeOf(tb)->co_name), names[i]) << i;
  }
  EXPECT_EQ(tb, nullptr);
  EXPECT_EQ(CachedLines(), std::vector<int>{30});
}

// The cache is keyed by line alone, but an entry never shows the name of
// another function that happened to fail at the same line first.
TEST_F(Traceback, AnotherFunctionAtACachedLineShowsItsOwnName) {
  Raise();
  Rt_AddTraceback("init pkg.handlers.mod", 26, kSource);
  Rt_AddTraceback("pkg.handlers.mod.Handler._get", 26, kSource);
  PyTracebackObject* tb = PendingTraceback();
  EXPECT_EQ(Utf8(CodeOf(tb)->co_name), "pkg.handlers.mod.Handler._get");
  EXPECT_EQ(Utf8(CodeOf(tb->tb_next)->co_name), "init pkg.handlers.mod");
  EXPECT_EQ(CachedLines(), std::vector<int>{26});
  Rt_AddTraceback("init pkg.handlers.mod", 26, kSource);
  tb = PendingTraceback();
  EXPECT_EQ(Utf8(CodeOf(tb)->co_name), "init pkg.handlers.mod");
  EXPECT_EQ(CachedLines(), std::vector<int>{26});
  EXPECT_EQ(tb->tb_next->tb_next->tb_next, nullptr);
}

TEST_F(Traceback, LineZeroBuildsAFreshCodeObjectEachTime) {
  Raise();
  Rt_AddTraceback("f", 0, kSource);
  Rt_AddTraceback("f", 0, kSource);
  PyTracebackObject* tb = PendingTraceback();
  EXPECT_NE(CodeOf(tb), CodeOf(tb->tb_next));
  EXPECT_EQ(Utf8(CodeOf(tb)->co_name), "f");
  EXPECT_EQ(g_state.code_cache.entries, nullptr);
  EXPECT_EQ(g_state.code_cache.count, 0);
}

TEST_F(Traceback, ReleasingTheExceptionReleasesEveryEntry) {
  Raise();
  Rt_AddTraceback("f", 30, kSource);
  Rt_AddTraceback("g", 31, kSource);
  Py_ssize_t refs = Py_REFCNT(value_);
  PyErr_Clear();
  EXPECT_EQ(Py_REFCNT(value_), refs - 1);
  ForgetTraceback();
  Rt_ReleaseSpareFrames();
  ASSERT_EQ(CachedLines(), (std::vector<int>{30, 31}));
  EXPECT_EQ(Py_REFCNT(g_state.code_cache.entries[0].code), 1);
  EXPECT_EQ(Py_REFCNT(g_state.code_cache.entries[1].code), 1);
}

// The frame an entry is given: from 3.11 one that the previous entry of the
// same code object left behind, when nothing holds or changed it; whatever
// happened to the earlier frame, the new entry's frame looks as if just made.
struct FrameUse {
  const char* what;
  const char* attribute;  // set to `value` on the earlier frame (null: none)
  PyObject* (*value)();
  bool hold;    // the earlier frame still held when the next entry is made
  bool reused;  // from 3.11: the next entry gets the same frame object
};

PyObject* NoValue() { return nullptr; }
PyObject* TraceFunction() { return PyMapping_GetItemString(PyEval_GetBuiltins(), "len"); }
PyObject* False() { return rt::NewRef(Py_False); }
PyObject* True() { return rt::NewRef(Py_True); }

const FrameUse kFrameUses[] = {
    {"released", nullptr, NoValue, false, true},
    {"still held", nullptr, NoValue, true, false},
    {"trace function set", "f_trace", TraceFunction, false, false},
    {"line events off", "f_trace_lines", False, false, false},
    {"opcode events on", "f_trace_opcodes", True, false, false},
    {"locals written", "f_locals", NoValue, false, false},
};

TEST_F(Traceback, AFrameServesAgainOnlyWhenNothingHoldsOrChangedIt) {
  for (const FrameUse& use : kFrameUses) {
    SCOPED_TRACE(use.what);
    Raise();
    Rt_AddTraceback("f", 30, kSource);
    PyObject* first = rt::NewRef(reinterpret_cast<PyObject*>(PendingTraceback()->tb_frame));
    // Before the frame is used: attribute lookups must not start with an exception pending.
    PyErr_Clear();
    // Through 3.10 such a frame's locals are its globals: the name is taken out again below.
    PyObject* written = nullptr;
    if (use.attribute && std::string(use.attribute) == "f_locals") {
      written = PyObject_GetAttrString(first, "f_locals");
      ASSERT_NE(written, nullptr);
      ASSERT_EQ(PyMapping_SetItemString(written, "x", Py_None), 0);
    } else if (use.attribute) {
      PyObject* value = use.value();
      ASSERT_EQ(PyObject_SetAttrString(first, use.attribute, value), 0);
      Py_DECREF(value);
    }
    ForgetTraceback();
    // Besides this test, only the runtime's kept frame may hold it.
    EXPECT_EQ(Py_REFCNT(first), rt::internals::kReuseEntryFrames ? 2 : 1);
    if (!use.hold) Py_DECREF(first);

    Raise();
    Rt_AddTraceback("f", 30, kSource);
    PyObject* second = reinterpret_cast<PyObject*>(PendingTraceback()->tb_frame);
    PyObject *pending_type, *pending_value, *pending_tb;
    PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
    if (rt::internals::kReuseEntryFrames && use.reused) {
      EXPECT_EQ(second, first);
    }
    if (use.hold) {
      EXPECT_NE(second, first);
    }
    PyObject* trace = PyObject_GetAttrString(second, "f_trace");
    EXPECT_EQ(trace, Py_None);
    Py_XDECREF(trace);
    for (const char* flag : {"f_trace_lines", "f_trace_opcodes"}) {
      PyObject* on = PyObject_GetAttrString(second, flag);
      EXPECT_EQ(on, std::string(flag) == "f_trace_lines" ? Py_True : Py_False) << flag;
      Py_XDECREF(on);
    }
    if (rt::internals::kReuseEntryFrames) {
      PyObject* locals = PyObject_GetAttrString(second, "f_locals");
      ASSERT_NE(locals, nullptr);
      EXPECT_EQ(PyMapping_Size(locals), 0);
      Py_DECREF(locals);
    }
    if (written) {
      if (PyMapping_HasKeyString(written, "x")) PyMapping_DelItemString(written, "x");
      Py_DECREF(written);
    }
    PyErr_Restore(pending_type, pending_value, pending_tb);
    EXPECT_EQ(LineOf(PendingTraceback()), 30);
    PyErr_Clear();
    ForgetTraceback();
    if (use.hold) Py_DECREF(first);
  }
}

}  // namespace
