// Helpers of the handler methods' bodies: the interpreter's constructs with
// fewer calls and allocations.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Out of line, each answering an object or null (or 1/0/-1 with a new
// reference in *value); the rt::Ref wrappers below are what callers use. A
// class returned from an out-of-line call travels through memory, and these
// run for every field of every request.
namespace rt::detail {
PyObject* CallMethodOneArg(PyObject* obj, PyObject* name, PyObject* arg) noexcept;
PyObject* CallMethodNoArgs(PyObject* obj, PyObject* name) noexcept;
PyObject* DictValuesIterInit(PyObject* mapping, PyObject* values_name, Py_ssize_t* size,
                             bool* is_dict) noexcept;
int DictValuesIterNext(PyObject* source, Py_ssize_t size, Py_ssize_t* position, Py_ssize_t* left,
                       PyObject** value, bool is_dict) noexcept;
PyObject* UnicodeJoin3(PyObject* const parts[3], Py_ssize_t total, Py_UCS4 maxchar) noexcept;
PyObject* CallMethodKw(PyObject* name, PyObject* const* args, PyObject* kwnames) noexcept;
PyObject* SsizeToUnicode(Py_ssize_t v) noexcept;
PyObject* FormatSimple(PyObject* x) noexcept;
}  // namespace rt::detail

// Each result below is a new reference, or empty with an exception set.

// The interpreter's method lookup where the build may use it, else the
// attribute read (answering 0): the same outcome, *method null with an
// exception set on failure. *method must be null on entry.
int Rt_LookupMethod(PyObject* obj, PyObject* name, PyObject** method) noexcept;
// Whether what Rt_LookupMethod found unbound is dict's own values().
bool Rt_IsDictValuesMethod(PyObject* method, PyObject* values_name) noexcept;
// obj.<name>() and obj.<name>(arg) through the interpreter's method lookup,
// without a bound-method object.
inline rt::Ref Rt_CallMethodNoArgs(PyObject* obj, PyObject* name) noexcept {
  return rt::Ref::steal(rt::detail::CallMethodNoArgs(obj, name));
}
inline rt::Ref Rt_CallMethodOneArg(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  return rt::Ref::steal(rt::detail::CallMethodOneArg(obj, name, arg));
}

// Values of a mapping: an exact dict in place, else its values() result (by
// index for an exact tuple or list, else through iter()).
inline rt::Ref Rt_DictValuesIterInit(PyObject* mapping, PyObject* values_name, Py_ssize_t* size,
                                     bool* is_dict) noexcept {
  return rt::Ref::steal(rt::detail::DictValuesIterInit(mapping, values_name, size, is_dict));
}
// 1 with the next value in *value (replacing what it held, which is released
// after), 0 at the end, -1 with an exception set; *value is left alone unless
// there is a next value. *position starts at 0 and *left at the size; a dict's
// walk counts down *left as its iterator does.
inline int Rt_DictValuesIterNext(PyObject* source, Py_ssize_t size, Py_ssize_t* position,
                                 Py_ssize_t* left, rt::Ref* value, bool is_dict) noexcept {
  PyObject* next = nullptr;
  int more = rt::detail::DictValuesIterNext(source, size, position, left, &next, is_dict);
  if (more > 0) *value = rt::Ref::steal(next);
  return more;
}

// The text of an f-string field that has no format options.
inline rt::Ref Rt_FormatSimple(PyObject* x) noexcept {
  return rt::Ref::steal(rt::detail::FormatSimple(x));
}
Py_UCS4 Rt_MaxCharOf(PyObject* s) noexcept;
// Joins three str of known total length and widest character in one allocation.
inline rt::Ref Rt_UnicodeJoin3(PyObject* const parts[3], Py_ssize_t total,
                               Py_UCS4 maxchar) noexcept {
  return rt::Ref::steal(rt::detail::UnicodeJoin3(parts, total, maxchar));
}
int Rt_ListAppendFast(PyObject* list, PyObject* x) noexcept;
// Calls args[0].<name>(**dict(zip(kwnames, args[1:]))).
inline rt::Ref Rt_CallMethodKw(PyObject* name, PyObject* const* args, PyObject* kwnames) noexcept {
  return rt::Ref::steal(rt::detail::CallMethodKw(name, args, kwnames));
}
inline rt::Ref Rt_SsizeToUnicode(Py_ssize_t v) noexcept {
  return rt::Ref::steal(rt::detail::SsizeToUnicode(v));
}
