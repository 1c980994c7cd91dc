// Helpers of the handler methods' bodies: the interpreter's constructs with
// fewer calls and allocations.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Each result below is a new reference, or empty with an exception set.

// 1: *method is a plain function to call with obj first; 0: *method is the
// ready attribute, or empty with an exception set. *method starts empty.
int Rt_GetMethod(PyObject* obj, PyObject* name, rt::Ref* method) noexcept;
// obj.<name>() and obj.<name>(arg) through the interpreter's method lookup,
// without a bound-method object.
rt::Ref Rt_CallMethodNoArgs(PyObject* obj, PyObject* name) noexcept;
rt::Ref Rt_CallMethodOneArg(PyObject* obj, PyObject* name, PyObject* arg) noexcept;

// Values of a mapping: an exact dict in place, else its values() result (by
// index for an exact tuple or list, else through iter()).
rt::Ref Rt_DictValuesIterInit(PyObject* mapping, PyObject* values_name, Py_ssize_t* size,
                              bool* is_dict) noexcept;
// 1 with the next value in *value (replacing what it held), 0 at the end, -1
// with an exception set; *value is left alone unless there is a next value.
int Rt_DictValuesIterNext(PyObject* source, Py_ssize_t size, Py_ssize_t* position, rt::Ref* value,
                          bool is_dict) noexcept;

// The text of an f-string field that has no format options.
rt::Ref Rt_FormatSimple(PyObject* x) noexcept;
Py_UCS4 Rt_MaxCharOf(PyObject* s) noexcept;
// Joins three str of known total length and widest character in one allocation.
rt::Ref Rt_UnicodeJoin3(PyObject* const parts[3], Py_ssize_t total, Py_UCS4 maxchar) noexcept;
int Rt_ListAppendFast(PyObject* list, PyObject* x) noexcept;
// Calls args[0].<name>(**dict(zip(kwnames, args[1:]))).
rt::Ref Rt_CallMethodKw(PyObject* name, PyObject* const* args, PyObject* kwnames) noexcept;
rt::Ref Rt_SsizeToUnicode(Py_ssize_t v) noexcept;
