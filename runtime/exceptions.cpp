// Catching the raised exception, the handled-exception entries, and class
// matching that compares identities and MRO tuples before calling back.
#include "runtime/exceptions.h"

rt::ExceptionState Rt_ExceptionSave(PyThreadState*) noexcept { return Rt_HandledException(); }

rt::ExceptionState Rt_ExceptionSaveInnermost(PyThreadState*) noexcept {
  // The public reads walk out to the entry in effect: emptying the innermost
  // entry tells whether what they see is its own.
  rt::ExceptionState seen = Rt_HandledException();
  if (!seen) return seen;
  Rt_SetHandledException(rt::ExceptionState());
  rt::ExceptionState outer = Rt_HandledException();
  if (outer.value() == seen.value()) return rt::ExceptionState();  // the entry held nothing
  Rt_SetHandledException(seen.Copy());
  return seen;
}

void Rt_ExceptionReset(PyThreadState*, rt::ExceptionState saved) noexcept {
  Rt_SetHandledException(std::move(saved));
}

int Rt_GetException(PyThreadState* tstate, rt::ExceptionState* caught) noexcept {
  rt::ExceptionState taken = Rt_TakeRaised();
  if (Rt_PrepareForHandling(&taken) < 0) return -1;
  *caught = taken.Copy();
  Rt_ExceptionReset(tstate, std::move(taken));
  return 0;
}

static bool IsExceptionClass(PyObject* o) noexcept {
  return PyType_Check(o) &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(o), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

int Rt_GivenExceptionMatches(PyObject* type, PyObject* target) noexcept {
  if (type == target) return 1;
  if (IsExceptionClass(type)) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (IsExceptionClass(target)) return Rt_IsSubtype(t, reinterpret_cast<PyTypeObject*>(target));
    if (PyTuple_Check(target)) {
      Py_ssize_t n = PyTuple_GET_SIZE(target);
      for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(target, i) == type) return 1;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyTuple_GET_ITEM(target, i);
        if (IsExceptionClass(entry) && Rt_IsSubtype(t, reinterpret_cast<PyTypeObject*>(entry)))
          return 1;
      }
      return 0;
    }
  }
  return PyErr_GivenExceptionMatches(type, target);
}

int Rt_ExceptionMatchesTuple(PyObject* type, PyObject* tuple) noexcept {
  Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(tuple, i) == type) return 1;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (Rt_GivenExceptionMatches(type, PyTuple_GET_ITEM(tuple, i))) return 1;
  return 0;
}

int Rt_ExceptionMatchesCurrent(PyThreadState*, PyObject* target) noexcept {
  PyObject* type = PyErr_Occurred();
  if (type == target) return 1;
  if (!type) return 0;
  if (PyTuple_Check(target)) return Rt_ExceptionMatchesTuple(type, target);
  return Rt_GivenExceptionMatches(type, target);
}

int Rt_IterFinish() noexcept {
  PyObject* type = PyErr_Occurred();
  if (!type) return 0;
  if (!Rt_GivenExceptionMatches(type, PyExc_StopIteration)) return -1;
  rt::ExceptionState stop = Rt_TakeRaised();
  return 0;
}
