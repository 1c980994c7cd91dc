// Builtin names and the attribute reads that treat a missing attribute as no
// error; the cached reads are fast paths of the internals unit.
#include "runtime/globals.h"

#include "runtime/exceptions.h"

PyObject* rt::detail::GetAttrNoError(PyObject* obj, PyObject* name) noexcept {
  rt::Ref result = Rt_GetAttr(obj, name);
  if (!result) {
    PyObject* raised = PyErr_Occurred();
    if (raised &&
        (raised == PyExc_AttributeError || Rt_GivenExceptionMatches(raised, PyExc_AttributeError)))
      PyErr_Clear();
  }
  return result.release();
}

PyObject* rt::detail::GetBuiltinName(PyObject* name) noexcept {
  rt::Ref result = Rt_GetAttrNoError(g_state.builtins_module, name);
  if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return result.release();
}
