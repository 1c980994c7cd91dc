// Subtype tests: the MRO tuple by identity, the base chain while a type has no MRO yet.
#include "runtime/subtype.h"

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
