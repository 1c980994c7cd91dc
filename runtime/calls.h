// Outward calls of module code: the dispatcher and the guarded primitives.
#pragma once

#include <Python.h>

// Prefers a built-in's native entry, then vectorcall, then a tuple call.
// `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET.
PyObject* Rt_FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwargs) noexcept;
PyObject* Rt_Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;
PyObject* Rt_CallCFunction(PyObject* func, PyObject* arg) noexcept;

// Calls `callable` with no arguments, unpacking a bound method so that its
// function gets `self` through the fast path.
PyObject* Rt_CallNoArgs(PyObject* callable) noexcept;
// Calls `callable` with one positional argument, unpacking a bound method.
PyObject* Rt_CallOneArg(PyObject* callable, PyObject* arg) noexcept;
