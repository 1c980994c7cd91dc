// Builtin names and attribute reads that treat a missing attribute as no error.
#include "runtime/globals.h"

#include "runtime/exceptions.h"

PyObject* Rt_GetAttrNoError(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr)
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
  rt::Ref result = rt::Ref::steal(Rt_GetAttr(obj, name));
  if (!result) {
    PyObject* raised = Rt_RaisedType(Rt_ThreadState());
    if (raised &&
        (raised == PyExc_AttributeError || Rt_GivenExceptionMatches(raised, PyExc_AttributeError)))
      PyErr_Clear();
  }
  return result.release();
}

PyObject* Rt_GetBuiltinName(PyObject* name) noexcept {
  rt::Ref result = rt::Ref::steal(Rt_GetAttrNoError(g_state.builtins_module, name));
  if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return result.release();
}
