// _rt_testmod: a module built on the same runtime as the handler modules, for
// the Python tests of runtime routines that Python cannot otherwise reach.
#include <Python.h>

#include "constants.h"
#include "runtime/internals.h"
#include "runtime/module_definition.h"
#include "runtime/module_state.h"
#include "tests/testmod/test_descriptor.h"
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

rt::Ref Interned(PyObject* name) noexcept {
  if (!PyUnicode_CheckExact(name)) {
    PyErr_Format(PyExc_TypeError, "names must be exact str, not %.200s", Py_TYPE(name)->tp_name);
    return rt::Ref();
  }
  Py_INCREF(name);
  PyUnicode_InternInPlace(&name);
  rt::Ref owned = rt::Ref::steal(name);
  if (PyObject_Hash(owned.get()) == -1) return rt::Ref();
  return owned;
}

namespace {

// FAST_PATHS: the names of the fast paths the runtime under test takes, as
// compiled (the RT_FAST_ lines of runtime/internals.h).
#define RT_FAST_PATH(name) \
  { #name, RT_FAST_##name }
struct FastPath {
  const char* name;
  bool on;
};
constexpr FastPath kFastPaths[] = {
    RT_FAST_PATH(METHOD_LOOKUP), RT_FAST_PATH(DICT_VALUES), RT_FAST_PATH(LIST_SPARE),
    RT_FAST_PATH(GLOBAL_CACHE),  RT_FAST_PATH(ATTR_CACHE),  RT_FAST_PATH(CLASS_GETATTR),
    RT_FAST_PATH(ENTRY_FRAMES),  RT_FAST_PATH(CODE_NAME),   RT_FAST_PATH(TRIVIAL_GETTER),
};
#undef RT_FAST_PATH

int AddFastPaths(PyObject* d) {
  rt::Ref names = rt::Ref::steal(PyDict_New());
  if (!names) return -1;
  for (const FastPath& path : kFastPaths)
    if (PyDict_SetItemString(names.get(), path.name, path.on ? Py_True : Py_False) < 0) return -1;
  return PyDict_SetItemString(d, "FAST_PATHS", names.get());
}

int Body(int* line) {
  *line = 1;
  PyObject* d = Rt_ModuleDict();
  if (RegisterStartupProbes(d) < 0 || RegisterFunctionProbes(d) < 0 || RegisterCallProbes(d) < 0 ||
      RegisterImportProbes(d) < 0 || RegisterHelperProbes(d) < 0 || RegisterFaultProbes(d) < 0)
    return -1;
  // Whether the runtime under test takes the fast paths of the interpreter's internals.
  if (PyDict_SetItemString(d, "INTERNALS", rt::internals::kOn ? Py_True : Py_False) < 0) return -1;
  return AddFastPaths(d);
}

}  // namespace

const ModuleDescriptor kThisModule =
    RT_TEST_DESCRIPTOR("_rt_testmod", "tests/testmod/_rt_testmod.py", Body);

RT_DEFINE_MODULE(_rt_testmod)
