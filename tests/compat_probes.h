// Version differences only the tests read: what a handled-exception entry,
// a frame or the recursion guard holds. Kept out of the modules' headers.
#pragma once

#include "runtime/python_compat.h"

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
