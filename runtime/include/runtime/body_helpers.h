// Helpers of the handler methods' bodies: the interpreter's constructs with
// fewer calls and allocations.
#pragma once

#include <Python.h>

// 1: *method is a plain function to call with obj first; 0: *method is the
// ready attribute, or null with an exception set.
int Rt_GetMethod(PyObject* obj, PyObject* name, PyObject** method) noexcept;
// obj.<name>() and obj.<name>(arg) through the interpreter's method lookup,
// without a bound-method object; the result, or null with an exception set.
PyObject* Rt_CallMethodNoArgs(PyObject* obj, PyObject* name) noexcept;
PyObject* Rt_CallMethodOneArg(PyObject* obj, PyObject* name, PyObject* arg) noexcept;

// Values of a mapping: an exact dict in place, else its values() result (by
// index for an exact tuple or list, else through iter()).
PyObject* Rt_DictValuesIterInit(PyObject* mapping, PyObject* values_name, Py_ssize_t* size,
                                bool* is_dict) noexcept;
// 1 with a new reference in *value, 0 at the end, -1 with an exception set.
int Rt_DictValuesIterNext(PyObject* source, Py_ssize_t size, Py_ssize_t* position, PyObject** value,
                          bool is_dict) noexcept;

// The text of an f-string field that has no format options.
PyObject* Rt_FormatSimple(PyObject* x) noexcept;
Py_UCS4 Rt_MaxCharOf(PyObject* s) noexcept;
// Joins three str of known total length and widest character in one allocation.
PyObject* Rt_UnicodeJoin3(PyObject* const parts[3], Py_ssize_t total, Py_UCS4 maxchar) noexcept;
int Rt_ListAppendFast(PyObject* list, PyObject* x) noexcept;
// Calls args[0].<name>(**dict(zip(kwnames, args[1:]))).
PyObject* Rt_CallMethodKw(PyObject* name, PyObject* const* args, PyObject* kwnames) noexcept;
PyObject* Rt_SsizeToUnicode(Py_ssize_t v) noexcept;
