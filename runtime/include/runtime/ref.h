// Owned references: the one spelling for a reference this code must release.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstddef>
#include <utility>

namespace rt {

// Move-only owner of one reference. A raw PyObject* elsewhere is borrowed.
class [[nodiscard]] Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    // The old value goes last: its finaliser may look at this handle.
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { *this = Ref(); }
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // For a call that hands back a new reference through a pointer; the handle
  // must be empty, so that nothing it held is lost.
  PyObject** out() noexcept {
    assert(!p_ && "an output handle starts empty");
    return &p_;
  }
  // For a call that may replace the reference it is given with another one
  // (PyErr_NormalizeException, PyUnicode_InternInPlace): the handle owns
  // whatever the call leaves there.
  PyObject** out_in_place() noexcept { return &p_; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference to `p` (not null), for a caller that receives one.
inline PyObject* NewRef(PyObject* p) noexcept {
  Py_INCREF(p);
  return p;
}

// Replaces the value of a field that owns its reference: the new value is
// stored first and the old one released after, so that the record is whole
// when the old value's finaliser runs.
inline void SetField(PyObject** field, Ref value) noexcept {
  PyObject* old = *field;
  *field = value.release();
  Py_XDECREF(old);
}

// The steal-on-store calls, wrapped once: the item's reference passes to the
// container's empty slot.
inline void PutTupleItem(PyObject* tuple, Py_ssize_t i, Ref item) noexcept {
  assert(!PyTuple_GET_ITEM(tuple, i) && "a tuple slot is filled once");
  PyTuple_SET_ITEM(tuple, i, item.release());
}
inline void PutListItem(PyObject* list, Py_ssize_t i, Ref item) noexcept {
  assert(!PyList_GET_ITEM(list, i) && "a list slot is filled once");
  PyList_SET_ITEM(list, i, item.release());
}

// A new tuple or list holding a new reference to each of `items`; empty with
// an exception set when it cannot be made.
inline Ref TupleFromArray(PyObject* const* items, Py_ssize_t n) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(n));
  if (!tuple) return tuple;
  for (Py_ssize_t i = 0; i < n; ++i) PutTupleItem(tuple.get(), i, Ref::borrow(items[i]));
  return tuple;
}
inline Ref ListFromArray(PyObject* const* items, Py_ssize_t n) noexcept {
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return list;
  for (Py_ssize_t i = 0; i < n; ++i) PutListItem(list.get(), i, Ref::borrow(items[i]));
  return list;
}
template <size_t N>
Ref TupleOf(PyObject* const (&items)[N]) noexcept {
  return TupleFromArray(items, static_cast<Py_ssize_t>(N));
}

}  // namespace rt
