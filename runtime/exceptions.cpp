// The thread state's exception state, read and written in place, and
// class matching that compares identities and MRO tuples before calling back.
#include "runtime/exceptions.h"

#include "runtime/python_compat.h"

// New references to what the entry holds.
static void CopyEntry(const _PyErr_StackItem* item, PyObject** type, PyObject** value,
                      PyObject** tb) noexcept {
  Rt_EntryPeek(item, type, value, tb);
  Py_XINCREF(*type);
  Py_XINCREF(*value);
  Py_XINCREF(*tb);
}

void Rt_ExceptionSave(PyThreadState* tstate, PyObject** type, PyObject** value,
                      PyObject** tb) noexcept {
  CopyEntry(Rt_HandledEntryInEffect(tstate), type, value, tb);
}

void Rt_ExceptionSaveInnermost(PyThreadState* tstate, PyObject** type, PyObject** value,
                               PyObject** tb) noexcept {
  CopyEntry(Rt_HandledEntry(tstate), type, value, tb);
}

void Rt_ExceptionReset(PyThreadState* tstate, PyObject* type, PyObject* value,
                       PyObject* tb) noexcept {
  // The entry is whole again before the old values' finalisers run.
  Rt_EntryExchange(Rt_HandledEntry(tstate), &type, &value, &tb);
  rt::ExceptionTriple old{rt::Ref::steal(type), rt::Ref::steal(value), rt::Ref::steal(tb)};
}

int Rt_GetException(PyThreadState* tstate, PyObject** type, PyObject** value,
                    PyObject** tb) noexcept {
  *type = *value = *tb = nullptr;
  rt::ExceptionTriple caught;
  Rt_TakeRaised(tstate, caught.type.out(), caught.value.out(), caught.tb.out());
  Rt_NormalizeTaken(caught.type.out_in_place(), caught.value.out_in_place(),
                    caught.tb.out_in_place());
  if (Rt_RaisedType(tstate)) return -1;
  PyObject* tb_value = caught.tb.get();
  if (tb_value && PyException_SetTraceback(caught.value.get(), tb_value) < 0) return -1;
  *type = rt::Ref::borrow(caught.type.get()).release();
  *value = rt::Ref::borrow(caught.value.get()).release();
  *tb = rt::Ref::borrow(tb_value).release();
  Rt_ExceptionReset(tstate, caught.type.release(), caught.value.release(), caught.tb.release());
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
  PyObject* type = Rt_RaisedType(tstate);
  if (type == target) return 1;
  if (!type) return 0;
  if (PyTuple_Check(target)) return Rt_ExceptionMatchesTuple(type, target);
  return Rt_GivenExceptionMatches(type, target);
}

int Rt_IterFinish() noexcept {
  PyThreadState* tstate = Rt_ThreadState();
  PyObject* type = Rt_RaisedType(tstate);
  if (!type) return 0;
  if (!Rt_GivenExceptionMatches(type, PyExc_StopIteration)) return -1;
  rt::ExceptionTriple stop;
  Rt_TakeRaised(tstate, stop.type.out(), stop.value.out(), stop.tb.out());
  return 0;
}
