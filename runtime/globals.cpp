// Builtin names and attribute reads that treat a missing attribute as no error.
#include "runtime/globals.h"

#include "runtime/exceptions.h"

PyObject* Rt_GetAttrNoError(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr)
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
  PyObject* result = Rt_GetAttr(obj, name);
  if (!result) {
    PyThreadState* tstate = _PyThreadState_UncheckedGet();
    PyObject* raised = tstate->curexc_type;
    if (raised && (raised == PyExc_AttributeError ||
                   Rt_GivenExceptionMatches(raised, PyExc_AttributeError)))
      PyErr_Clear();
  }
  return result;
}

PyObject* Rt_GetBuiltinName(PyObject* name) noexcept {
  PyObject* result = Rt_GetAttrNoError(g_state.builtins_module, name);
  if (!result && !PyErr_Occurred())
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return result;
}
