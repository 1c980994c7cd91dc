// Builtin names; the cached reads and the attribute reads that treat a
// missing attribute as no error are fast paths of the internals unit.
#include "runtime/globals.h"

PyObject* rt::detail::GetBuiltinName(PyObject* name) noexcept {
  rt::Ref result = Rt_GetAttrNoError(g_state.builtins_module, name);
  if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return result.release();
}
