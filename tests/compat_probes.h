// Version differences only the tests read: what a handled-exception entry,
// a frame, a dict or the recursion guard holds. Kept out of the modules'
// headers; the runtime itself reads such things only in its internals unit.
#pragma once

#include <frameobject.h>

#include <utility>

#include "runtime/internals.h"
#include "runtime/python_compat.h"

// The innermost handled-exception entry: a frame's or a generator's own.
inline _PyErr_StackItem* Rt_HandledEntry(PyThreadState* tstate) noexcept {
  return tstate->exc_info;
}

// Whether an entry holds an exception (None and null both mean none).
inline bool Rt_EntryHoldsException(const _PyErr_StackItem* item) noexcept {
  return item->exc_value && item->exc_value != Py_None;
}

// Puts `given` into an entry and hands back what it held.
inline rt::ExceptionState Rt_EntryExchange(_PyErr_StackItem* item,
                                           rt::ExceptionState given) noexcept {
#if RT_PY311
  return rt::ExceptionState::OfValue(
      rt::Ref::steal(std::exchange(item->exc_value, given.value_.release())));
#else
  return rt::ExceptionState::OfTriple(
      rt::Ref::steal(std::exchange(item->exc_type, given.type_.release())),
      rt::Ref::steal(std::exchange(item->exc_value, given.value_.release())),
      rt::Ref::steal(std::exchange(item->exc_traceback, given.tb_.release())));
#endif
}

// What an entry holds, borrowed (null where it holds nothing).
inline void Rt_EntryPeek(const _PyErr_StackItem* item, PyObject** type, PyObject** value,
                         PyObject** tb) noexcept {
#if RT_PY311
  *value = item->exc_value;
  if (*value && PyExceptionInstance_Check(*value)) {
    *type = reinterpret_cast<PyObject*>(Py_TYPE(*value));
    *tb = reinterpret_cast<PyBaseExceptionObject*>(*value)->traceback;
  } else {
    *type = *tb = nullptr;
  }
#else
  *type = item->exc_type;
  *value = item->exc_value;
  *tb = item->exc_traceback;
#endif
}

// Whether the guard of C code keeps a count (from 3.14 it measures the
// machine stack instead, and leaving it undoes nothing).
#define RT_HAVE_RECURSION_COUNT (PY_VERSION_HEX < 0x030E0000)
#if RT_HAVE_RECURSION_COUNT
// A number that grows by one with each recursion guard entered (not the
// depth itself from 3.11, where the thread counts what remains; from 3.12 the
// guard of C code counts apart from Python frames).
inline long Rt_RecursionDepth(PyThreadState* tstate) noexcept {
#if RT_PY312
  return -static_cast<long>(tstate->c_recursion_remaining);
#elif RT_PY311
  return static_cast<long>(tstate->recursion_limit) - tstate->recursion_remaining;
#else
  return tstate->recursion_depth;
#endif
}
#endif

// A frame's code object and globals, new references.
inline PyCodeObject* Rt_FrameCode(PyFrameObject* frame) noexcept {
#if RT_PY39
  return PyFrame_GetCode(frame);
#else
  Py_INCREF(frame->f_code);
  return frame->f_code;
#endif
}
inline PyObject* Rt_FrameGlobals(PyFrameObject* frame) noexcept {
#if RT_PY311
  return PyFrame_GetGlobals(frame);
#else
  Py_INCREF(frame->f_globals);
  return frame->f_globals;
#endif
}
