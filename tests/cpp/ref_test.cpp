// The owned-reference handles: what each store releases, and when.
#include <Python.h>
#include <gtest/gtest.h>

#include <functional>

#include "runtime/argparse.h"
#include "runtime/exceptions.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "tests/compat_probes.h"

namespace {

using rt::Ref;

class RefTest : public testing::Test {
 protected:
  void TearDown() override {
    if (PyErr_Occurred()) PyErr_Print();
    ASSERT_FALSE(PyErr_Occurred());
  }
};

// --- a replaced value is released after the new one is in place ---------------------

PyObject** g_watched = nullptr;
PyObject* g_seen_at_release = nullptr;
int g_releases = 0;

// The weak reference's callback runs while the old value is being freed.
PyObject* RecordField(PyObject*, PyObject*) noexcept {
  g_seen_at_release = *g_watched;
  ++g_releases;
  Py_RETURN_NONE;
}
PyMethodDef g_record_def = {"record", RecordField, METH_O, nullptr};

struct Replacement {
  const char* name;
  bool on_handle;  // the value replaced is the handle's, not the field's
  bool to_null;
  std::function<void(PyObject** field, Ref* handle, Ref value)> replace;
};

TEST_F(RefTest, OldValueGoesAfterTheNewOneIsStored) {
  const Replacement cases[] = {
      {"SetField", false, false, [](PyObject** f, Ref*, Ref v) { rt::SetField(f, std::move(v)); }},
      {"SetField to null", false, true,
       [](PyObject** f, Ref*, Ref v) { rt::SetField(f, std::move(v)); }},
      {"move assignment", true, false, [](PyObject**, Ref* h, Ref v) { *h = std::move(v); }},
      {"reset", true, true, [](PyObject**, Ref* h, Ref) { h->reset(); }},
  };
  Ref callback = Ref::steal(PyCFunction_NewEx(&g_record_def, nullptr, nullptr));
  ASSERT_TRUE(callback);
  for (const Replacement& c : cases) {
    SCOPED_TRACE(c.name);
    PyObject* field = PySet_New(nullptr);  // owned; sets take weak references
    Ref handle = Ref::steal(PySet_New(nullptr));
    ASSERT_TRUE(field && handle);
    bool on_handle = c.on_handle;
    PyObject* old = on_handle ? handle.get() : field;
    Ref watch = Ref::steal(PyWeakref_NewRef(old, callback.get()));
    ASSERT_TRUE(watch);
    Ref value = c.to_null ? Ref() : Ref::steal(PyList_New(0));
    PyObject* expected = value.get();
    // The handle's object sits in its only word.
    static_assert(sizeof(Ref) == sizeof(PyObject*), "a handle is one pointer");
    g_watched = on_handle ? reinterpret_cast<PyObject**>(&handle) : &field;
    g_seen_at_release = old;
    g_releases = 0;
    c.replace(&field, &handle, std::move(value));
    EXPECT_EQ(g_releases, 1);
    EXPECT_EQ(g_seen_at_release, expected);
    EXPECT_EQ(*g_watched, expected);
    if (!on_handle) Py_XDECREF(field);
  }
}

// --- the containers take their own references -------------------------------------

TEST_F(RefTest, ContainersFromArraysHoldNewReferences) {
  Ref a = Ref::steal(PyUnicode_FromString("velmora-ref-a"));
  Ref b = Ref::steal(PyList_New(0));
  ASSERT_TRUE(a && b);
  PyObject* const items[] = {a.get(), b.get()};
  const Py_ssize_t before[] = {Py_REFCNT(a.get()), Py_REFCNT(b.get())};
  struct Case {
    const char* name;
    Ref (*make)(PyObject* const*, Py_ssize_t);
    PyObject* (*item)(PyObject*, Py_ssize_t);
  };
  const Case cases[] = {
      {"tuple", rt::TupleFromArray,
       [](PyObject* t, Py_ssize_t i) { return PyTuple_GET_ITEM(t, i); }},
      {"list", rt::ListFromArray, [](PyObject* l, Py_ssize_t i) { return PyList_GET_ITEM(l, i); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      Ref made = c.make(items, 2);
      ASSERT_TRUE(made);
      EXPECT_EQ(Py_SIZE(made.get()), 2);
      for (Py_ssize_t i = 0; i < 2; ++i) {
        EXPECT_EQ(c.item(made.get(), i), items[i]);
        EXPECT_EQ(Py_REFCNT(items[i]), before[i] + 1);
      }
    }
    for (Py_ssize_t i = 0; i < 2; ++i) EXPECT_EQ(Py_REFCNT(items[i]), before[i]);
  }
  Ref single = rt::TupleOf({a.get()});
  ASSERT_TRUE(single);
  EXPECT_EQ(PyTuple_GET_SIZE(single.get()), 1);
  EXPECT_EQ(PyTuple_GET_ITEM(single.get(), 0), a.get());
}

TEST_F(RefTest, BoundArgumentsReleaseEveryValueOnce) {
  Ref value = Ref::steal(PyList_New(0));
  ASSERT_TRUE(value);
  Py_ssize_t before = Py_REFCNT(value.get());
  {
    rt::BoundArguments<3> bound;
    bound.values[0] = rt::NewRef(value.get());
    bound.values[2] = rt::NewRef(value.get());
    EXPECT_EQ(Py_REFCNT(value.get()), before + 2);
    bound.Clear();
    EXPECT_EQ(Py_REFCNT(value.get()), before);
    for (PyObject* v : bound.values) EXPECT_EQ(v, nullptr);
    bound.values[1] = rt::NewRef(value.get());
  }
  EXPECT_EQ(Py_REFCNT(value.get()), before);
}

// --- the exception scopes ----------------------------------------------------------------

TEST_F(RefTest, HandledExceptionScopePutsTheEntryBack) {
  PyThreadState* ts = PyThreadState_GetUnchecked();
  _PyErr_StackItem* entry = Rt_HandledEntry(ts);
  Ref outer = Ref::steal(PyObject_CallFunction(PyExc_KeyError, "s", "outer"));
  Ref inner = Ref::steal(PyObject_CallFunction(PyExc_ValueError, "s", "inner"));
  ASSERT_TRUE(outer && inner);
  // The entry holds `outer` as the handled exception of the enclosing frame.
  rt::ExceptionState outside =
      Rt_EntryExchange(entry, rt::ExceptionState::OfValue(Ref::borrow(outer.get())));
  Py_ssize_t outer_before = Py_REFCNT(outer.get()), inner_before = Py_REFCNT(inner.get());
  {
    rt::HandledExceptionScope scope(ts);
    EXPECT_EQ(Py_REFCNT(outer.get()), outer_before + 1);
    // A handler inside the block makes `inner` the handled exception.
    Rt_ExceptionReset(ts, rt::ExceptionState::OfValue(Ref::borrow(inner.get())));
    EXPECT_EQ(Rt_HandledEntry(ts)->exc_value, inner.get());
  }
  PyObject *type, *value, *tb;
  Rt_EntryPeek(entry, &type, &value, &tb);
  EXPECT_EQ(type, PyExc_KeyError);
  EXPECT_EQ(value, outer.get());
  EXPECT_EQ(tb, nullptr);
  EXPECT_EQ(Py_REFCNT(inner.get()), inner_before);
  // The entry owns its references again, as it did before the scope.
  EXPECT_EQ(Py_REFCNT(outer.get()), outer_before);
  rt::ExceptionState scope_left = Rt_EntryExchange(entry, std::move(outside));
}

TEST_F(RefTest, PendingErrorScopeKeepsOrYieldsTheError) {
  struct Case {
    const char* name;
    bool discard;
    PyObject* expected_type;
  };
  const Case cases[] = {{"kept", false, PyExc_KeyError}, {"discarded", true, PyExc_ValueError}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref pending = Ref::steal(PyObject_CallFunction(PyExc_KeyError, "s", "pending"));
    ASSERT_TRUE(pending);
    Py_ssize_t before = Py_REFCNT(pending.get());
    PyErr_SetObject(PyExc_KeyError, pending.get());
    {
      rt::PendingErrorScope scope;
      EXPECT_FALSE(PyErr_Occurred());
      PyErr_SetString(PyExc_ValueError, "raised while set aside");
      if (c.discard) scope.Discard();
    }
    ASSERT_TRUE(PyErr_Occurred());
    EXPECT_TRUE(PyErr_ExceptionMatches(c.expected_type));
    PyErr_Clear();
    EXPECT_EQ(Py_REFCNT(pending.get()), before);
  }
}

}  // namespace
