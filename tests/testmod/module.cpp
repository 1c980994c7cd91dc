// _rt_testmod: a module built on the same runtime as the handler modules, for
// the Python tests of runtime routines that Python cannot otherwise reach.
#include <Python.h>

#include "constants.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "tests/testmod/testmod.h"

int AddProbes(PyObject* module_dict, PyMethodDef* defs) noexcept {
  for (PyMethodDef* def = defs; def->ml_name; ++def) {
    PyObject* func = PyCFunction_NewEx(def, nullptr, nullptr);
    if (!func) return -1;
    int rc = PyDict_SetItemString(module_dict, def->ml_name, func);
    Py_DECREF(func);
    if (rc < 0) return -1;
  }
  return 0;
}

namespace {

int Body(int* line) {
  *line = 1;
  PyObject* d = g_state.module_dict;
  if (RegisterStartupProbes(d) < 0 || RegisterFunctionProbes(d) < 0 || RegisterCallProbes(d) < 0 ||
      RegisterImportProbes(d) < 0 || RegisterHelperProbes(d) < 0)
    return -1;
  return 0;
}

const int kProbeVarnames[] = {slot::kSelf, slot::kA, slot::kB};
const FunctionCodeInfo kFunctions[] = {
    {3, 3, 1, kProbeVarnames, 3, slot::kSourcePath, slot::kProbe}};

}  // namespace

const ModuleDescriptor kThisModule = {
    "_rt_testmod",
    "_rt_testmod",
    "init _rt_testmod",
    "tests/testmod/_rt_testmod.py",
    &kConstantTable,
    kFunctions,
    1,
    {slot::kDot, slot::kAsyncioCoroutines, slot::kIsCoroutine, slot::k__module__,
     slot::k__qualname__, slot::k__prepare__, slot::k__mro_entries__, slot::k__test__},
    Body,
};

RT_DEFINE_MODULE(_rt_testmod)
