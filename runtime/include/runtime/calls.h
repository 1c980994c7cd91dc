// Outward calls of module code: the dispatcher and the guarded primitives.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Each returns the call's result, or an empty handle with an exception set,
// and is entered with no exception pending.

// With keywords: a tuple call. Without: a built-in function's (or function
// object's) native entry for no argument or one, then the callable's
// vectorcall entry, then a tuple call. `nargsf` may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET.
rt::Ref Rt_FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                    PyObject* kwargs) noexcept;
// The type's call slot inside a recursion guard; PyObject_Call without one.
rt::Ref Rt_Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;
// A built-in function's native entry for METH_NOARGS (arg null) or METH_O.
rt::Ref Rt_CallCFunction(PyObject* func, PyObject* arg) noexcept;

// Calls `callable` with no arguments, unpacking a bound method so that its
// function gets `self` through the fast path.
rt::Ref Rt_CallNoArgs(PyObject* callable) noexcept;
// Calls `callable` with one positional argument, unpacking a bound method.
rt::Ref Rt_CallOneArg(PyObject* callable, PyObject* arg) noexcept;
