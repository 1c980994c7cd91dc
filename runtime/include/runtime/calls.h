// Outward calls of module code: the dispatcher and the guarded primitives.
#pragma once

#include <Python.h>

// Each returns the call's result, or null with an exception set, and is
// entered with no exception pending.

// With keywords: a tuple call. Without: a built-in function's (or function
// object's) native entry for no argument or one, then the callable's
// vectorcall entry, then a tuple call. `nargsf` may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET.
PyObject* Rt_FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwargs) noexcept;
// The type's call slot inside a recursion guard; PyObject_Call without one.
PyObject* Rt_Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;
// A built-in function's native entry for METH_NOARGS (arg null) or METH_O.
PyObject* Rt_CallCFunction(PyObject* func, PyObject* arg) noexcept;

// Calls `callable` with no arguments, unpacking a bound method so that its
// function gets `self` through the fast path.
PyObject* Rt_CallNoArgs(PyObject* callable) noexcept;
// Calls `callable` with one positional argument, unpacking a bound method.
PyObject* Rt_CallOneArg(PyObject* callable, PyObject* arg) noexcept;
