// Outward calls of module code: the dispatcher and the guarded primitives.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Each returns the call's result, or an empty handle with an exception set,
// and is entered with no exception pending. Each is an inline wrapper of an
// out-of-line routine that answers an object or null: a class returned from
// an out-of-line call travels through memory, and these sit on every call
// path of module code.
namespace rt::detail {
PyObject* FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                   PyObject* kwargs) noexcept;
PyObject* Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept;
PyObject* CallCFunction(PyObject* func, PyObject* arg) noexcept;
PyObject* CallNoArgs(PyObject* callable) noexcept;
PyObject* CallOneArg(PyObject* callable, PyObject* arg) noexcept;
}  // namespace rt::detail

// With keywords: a tuple call. Without: a built-in function's (or function
// object's) native entry for no argument or one, then the callable's
// vectorcall entry, then a tuple call. `nargsf` may carry
// PY_VECTORCALL_ARGUMENTS_OFFSET.
inline rt::Ref Rt_FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                           PyObject* kwargs) noexcept {
  return rt::Ref::steal(rt::detail::FastCall(callable, args, nargsf, kwargs));
}
// The type's call slot inside a recursion guard; PyObject_Call without one.
inline rt::Ref Rt_Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
  return rt::Ref::steal(rt::detail::Call(callable, args, kwargs));
}
// A built-in function's native entry for METH_NOARGS (arg null) or METH_O.
inline rt::Ref Rt_CallCFunction(PyObject* func, PyObject* arg) noexcept {
  return rt::Ref::steal(rt::detail::CallCFunction(func, arg));
}

// Calls `callable` with no arguments, unpacking a bound method so that its
// function gets `self` through the fast path.
inline rt::Ref Rt_CallNoArgs(PyObject* callable) noexcept {
  return rt::Ref::steal(rt::detail::CallNoArgs(callable));
}
// Calls `callable` with one positional argument, unpacking a bound method.
inline rt::Ref Rt_CallOneArg(PyObject* callable, PyObject* arg) noexcept {
  return rt::Ref::steal(rt::detail::CallOneArg(callable, arg));
}
