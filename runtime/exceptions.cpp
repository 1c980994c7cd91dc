// Exception state of CPython 3.8's thread state, read and written in place, and
// class matching that compares identities and MRO tuples before calling back.
#include "runtime/exceptions.h"

void Rt_ExceptionSave(PyThreadState* tstate, PyObject** type, PyObject** value,
                      PyObject** tb) noexcept {
  _PyErr_StackItem* item = tstate->exc_info;
  while ((!item->exc_value || item->exc_value == Py_None) && item->previous_item)
    item = item->previous_item;
  *type = item->exc_type;
  *value = item->exc_value;
  *tb = item->exc_traceback;
  Py_XINCREF(*type);
  Py_XINCREF(*value);
  Py_XINCREF(*tb);
}

void Rt_ExceptionSaveInnermost(PyThreadState* tstate, PyObject** type, PyObject** value,
                               PyObject** tb) noexcept {
  _PyErr_StackItem* item = tstate->exc_info;
  *type = item->exc_type;
  *value = item->exc_value;
  *tb = item->exc_traceback;
  Py_XINCREF(*type);
  Py_XINCREF(*value);
  Py_XINCREF(*tb);
}

void Rt_ExceptionReset(PyThreadState* tstate, PyObject* type, PyObject* value, PyObject* tb) noexcept {
  _PyErr_StackItem* item = tstate->exc_info;
  PyObject* old_type = item->exc_type;
  PyObject* old_value = item->exc_value;
  PyObject* old_tb = item->exc_traceback;
  item->exc_type = type;
  item->exc_value = value;
  item->exc_traceback = tb;
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_tb);
}

int Rt_GetException(PyThreadState* tstate, PyObject** type, PyObject** value, PyObject** tb) noexcept {
  PyObject* t = tstate->curexc_type;
  PyObject* v = tstate->curexc_value;
  PyObject* b = tstate->curexc_traceback;
  tstate->curexc_type = tstate->curexc_value = tstate->curexc_traceback = nullptr;
  PyErr_NormalizeException(&t, &v, &b);
  if (tstate->curexc_type) goto bad;
  if (b && PyException_SetTraceback(v, b) < 0) goto bad;
  Py_XINCREF(b);
  Py_XINCREF(t);
  Py_XINCREF(v);
  *type = t;
  *value = v;
  *tb = b;
  Rt_ExceptionReset(tstate, t, v, b);  // the references taken out above
  return 0;
bad:
  *type = *value = *tb = nullptr;
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(b);
  return -1;
}

static int InBaseChain(PyTypeObject* a, PyTypeObject* b) noexcept {
  for (PyTypeObject* t = a->tp_base; t; t = t->tp_base)
    if (t == b) return 1;
  return b == &PyBaseObject_Type;
}

int Rt_IsSubtype(PyTypeObject* a, PyTypeObject* b) noexcept {
  if (a == b) return 1;
  PyObject* mro = a->tp_mro;
  if (!mro) return InBaseChain(a, b);
  Py_ssize_t n = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject*>(b)) return 1;
  return 0;
}

int Rt_IsSubtypeOfEither(PyTypeObject* a, PyTypeObject* b1, PyTypeObject* b2) noexcept {
  if (a == b1 || a == b2) return 1;
  PyObject* mro = a->tp_mro;
  if (!mro) return InBaseChain(a, b1) || InBaseChain(a, b2);
  Py_ssize_t n = PyTuple_GET_SIZE(mro);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (base == reinterpret_cast<PyObject*>(b1) || base == reinterpret_cast<PyObject*>(b2))
      return 1;
  }
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

int Rt_ExceptionMatchesCurrent(PyThreadState* tstate, PyObject* target) noexcept {
  PyObject* type = tstate->curexc_type;
  if (type == target) return 1;
  if (!type) return 0;
  if (PyTuple_Check(target)) return Rt_ExceptionMatchesTuple(type, target);
  return Rt_GivenExceptionMatches(type, target);
}

int Rt_IterFinish() noexcept {
  PyThreadState* tstate = _PyThreadState_UncheckedGet();
  PyObject* type = tstate->curexc_type;
  if (!type) return 0;
  if (!Rt_GivenExceptionMatches(type, PyExc_StopIteration)) return -1;
  PyObject* value = tstate->curexc_value;
  PyObject* tb = tstate->curexc_traceback;
  tstate->curexc_type = tstate->curexc_value = tstate->curexc_traceback = nullptr;
  Py_DECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return 0;
}
