// Module creation and execution: the whole start-up of a module.
#include <Python.h>

#include <cassert>

#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "runtime/shared_types.h"
#include "runtime/traceback.h"

ModuleState g_state;
PyObject* g_module_object = nullptr;
int64_t g_bound_interpreter_id = -1;
uint32_t g_runtime_version = 0;

int Rt_CopySpecAttr(PyObject* spec, PyObject* module_dict, const char* from_name,
                    const char* to_name, bool allow_none) noexcept {
  PyObject* value = PyObject_GetAttrString(spec, from_name);
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  int rc = 0;
  if (allow_none || value != Py_None) rc = PyDict_SetItemString(module_dict, to_name, value);
  Py_DECREF(value);
  return rc < 0 ? -1 : 0;
}

extern "C" PyObject* Rt_ModuleCreate(PyObject* spec, PyModuleDef*) {
  int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (id == -1) return nullptr;
  if (g_bound_interpreter_id == -1) {
    g_bound_interpreter_id = id;
  } else if (id != g_bound_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g_module_object) {
    Py_INCREF(g_module_object);
    return g_module_object;
  }
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (!name) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (!module) return nullptr;
  PyObject* d = PyModule_GetDict(module);  // borrowed
  if (!d || Rt_CopySpecAttr(spec, d, "loader", "__loader__", true) < 0 ||
      Rt_CopySpecAttr(spec, d, "origin", "__file__", true) < 0 ||
      Rt_CopySpecAttr(spec, d, "parent", "__package__", true) < 0 ||
      Rt_CopySpecAttr(spec, d, "submodule_search_locations", "__path__", false) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

static int BuildCodeObjects() noexcept {
  assert(kThisModule.function_count >= 0 && kThisModule.function_count <= kMaxModuleFunctions &&
         "the state's array holds the code object of every function");
  PyObject* shared = PyDict_New();  // equal varnames tuples are shared through it
  if (!shared) return -1;
  int rc = 0;
  for (int f = 0; f < kThisModule.function_count && rc == 0; ++f) {
    const FunctionCodeInfo& info = kThisModule.functions[f];
    PyObject* varnames = PyTuple_New(info.varname_count);
    if (!varnames) {
      rc = -1;
      break;
    }
    for (int i = 0; i < info.varname_count; ++i) {
      PyObject* name = Rt_Const(info.varname_slots[i]);
      Py_INCREF(name);
      PyTuple_SET_ITEM(varnames, i, name);
    }
    PyObject* canonical = PyDict_SetDefault(shared, varnames, varnames);  // borrowed
    Py_XINCREF(canonical);
    Py_DECREF(varnames);
    if (!canonical) {
      rc = -1;
      break;
    }
    PyObject* e = g_state.empty_tuple;
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        info.argcount, 0, 0, info.nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, g_state.empty_bytes,
        e, e, canonical, e, e, Rt_Const(info.filename_slot), Rt_Const(info.name_slot),
        info.firstlineno, g_state.empty_bytes);
    Py_DECREF(canonical);
    if (!code) {
      rc = -1;
      break;
    }
    Py_XSETREF(g_state.code_objects[f], reinterpret_cast<PyObject*>(code));
  }
  Py_DECREF(shared);
  return rc;
}

// Outside the import system nobody else takes a failed module out of
// sys.modules, and a later import would hand it out half made.
static void Unregister(PyObject* key, PyObject* module) noexcept {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_GetItemWithError(modules, key) == module) (void)PyDict_DelItem(modules, key);
  PyErr_Clear();  // the start-up's own error is the one to report
  PyErr_Restore(type, value, tb);
}

// Stores a new reference in a state field; the failed start-up's leftovers go.
static void Store(PyObject** field, PyObject* value) noexcept { Py_XSETREF(*field, value); }

extern "C" int Rt_ModuleExec(PyObject* module) {
  if (g_module_object) {
    if (g_module_object == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 kThisModule.short_name);
    return -1;
  }
  Py_INCREF(module);
  g_module_object = module;

  ModuleState& s = g_state;
  rt::Ref registered_under;  // the sys.modules key when this start-up added the entry
  bool constants_ready = false;
  int line = 1;
  PyObject* value;

  if (!(value = PyModule_GetDict(module))) goto failed;
  Py_INCREF(value);
  Store(&s.module_dict, value);
  if (!(value = PyImport_AddModule("builtins"))) goto failed;
  Py_INCREF(value);
  Store(&s.builtins_module, value);
  if (!(value = PyImport_AddModule("cython_runtime"))) goto failed;
  Py_INCREF(value);
  Store(&s.cython_runtime_module, value);
  if (PyObject_SetAttrString(module, "__builtins__", s.builtins_module) < 0) goto failed;

  if (g_runtime_version == 0) g_runtime_version = Rt_ParseVersion(Py_GetVersion());
  if (Rt_CheckVersion(g_runtime_version, kThisModule.full_name) < 0) goto failed;

  if (!(value = PyTuple_New(0))) goto failed;
  Store(&s.empty_tuple, value);
  if (!(value = PyBytes_FromStringAndSize("", 0))) goto failed;
  Store(&s.empty_bytes, value);
  if (!(value = PyUnicode_FromStringAndSize("", 0))) goto failed;
  Store(&s.empty_unicode, value);

  if (Rt_InitConstants(&s, kThisModule.constants) < 0) goto failed;
  constants_ready = true;

  if (Rt_FetchSharedTypes(&s) < 0) goto failed;

  {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    rt::Ref key = rt::Ref::steal(PyUnicode_FromString(kThisModule.full_name));
    if (!key) goto failed;
    if (!PyDict_GetItemWithError(modules, key.get())) {
      if (PyErr_Occurred() || PyDict_SetItem(modules, key.get(), module) < 0) goto failed;
      registered_under = std::move(key);
    }
  }
  if (BuildCodeObjects() < 0) goto failed;

  if (kThisModule.body(&line) < 0) goto failed;
  line = 1;

  {
    PyObject* test = PyDict_New();
    if (!test) goto failed;
    int rc = PyDict_SetItem(s.module_dict, Rt_Const(kThisModule.names.dunder_test), test);
    Py_DECREF(test);
    if (rc < 0) goto failed;
  }
  return 0;

failed:
  if (s.module_dict && constants_ready)
    Rt_AddTraceback(kThisModule.init_name, line, kThisModule.source_path);
  if (registered_under) Unregister(registered_under.get(), module);
  Py_CLEAR(g_module_object);
  return -1;
}
