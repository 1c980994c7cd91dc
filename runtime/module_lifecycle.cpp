// Module creation and execution: the whole start-up of a module.
#include "runtime/module_lifecycle.h"

#include <cassert>

#include "runtime/exceptions.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "runtime/shared_types.h"
#include "runtime/traceback.h"
#include "runtime/version_check.h"

ModuleState g_state;

namespace {

PyObject* g_module_object = nullptr;  // owned
int64_t g_bound_interpreter_id = -1;  // -1 until the first create
uint32_t g_runtime_version = 0;       // 0 until parsed

}  // namespace

int Rt_CopySpecAttr(PyObject* spec, PyObject* module_dict, const char* from_name,
                    const char* to_name, bool allow_none) noexcept {
  rt::Ref value = rt::Ref::steal(PyObject_GetAttrString(spec, from_name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!allow_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(module_dict, to_name, value.get()) < 0 ? -1 : 0;
}

extern "C" PyObject* Rt_ModuleCreate(PyObject* spec, PyModuleDef*) noexcept {
  int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
  if (id == -1) return nullptr;
  if (g_bound_interpreter_id == -1) {
    g_bound_interpreter_id = id;
  } else if (id != g_bound_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g_module_object) return rt::NewRef(g_module_object);
  rt::Ref name = rt::Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  rt::Ref module = rt::Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* d = PyModule_GetDict(module.get());  // borrowed
  if (!d || Rt_CopySpecAttr(spec, d, "loader", "__loader__", true) < 0 ||
      Rt_CopySpecAttr(spec, d, "origin", "__file__", true) < 0 ||
      Rt_CopySpecAttr(spec, d, "parent", "__package__", true) < 0 ||
      Rt_CopySpecAttr(spec, d, "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

namespace {

// The code object of one function; equal varnames tuples are shared through
// `shared`. 0, or -1 with an exception set.
int BuildCodeObject(const FunctionCodeInfo& info, PyObject* shared, PyObject** field) noexcept {
  rt::Ref varnames = rt::Ref::steal(PyTuple_New(info.varname_count));
  if (!varnames) return -1;
  for (int i = 0; i < info.varname_count; ++i)
    rt::PutTupleItem(varnames.get(), i, rt::Ref::borrow(Rt_Const(info.varname_slots[i])));
  rt::Ref canonical = rt::Ref::borrow(PyDict_SetDefault(shared, varnames.get(), varnames.get()));
  if (!canonical) return -1;
  varnames.reset();
  PyObject* e = g_state.empty_tuple;
  PyObject* b = g_state.empty_bytes;
  rt::Ref code = rt::Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      info.argcount, 0, 0, info.nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, b, e, e, canonical.get(),
      e, e, Rt_Const(info.filename_slot), Rt_Const(info.name_slot),
      Rt_Const(info.qualname_slot >= 0 ? info.qualname_slot : info.name_slot), info.firstlineno, b,
      b)));
  if (!code) return -1;
  canonical.reset();
  rt::SetField(field, std::move(code));
  return 0;
}

int BuildCodeObjects() noexcept {
  assert(kThisModule.function_count >= 0 && kThisModule.function_count <= kMaxModuleFunctions &&
         "the state's array holds the code object of every function");
  rt::Ref shared = rt::Ref::steal(PyDict_New());
  if (!shared) return -1;
  for (int f = 0; f < kThisModule.function_count; ++f)
    if (BuildCodeObject(kThisModule.functions[f], shared.get(), &g_state.code_objects[f]) < 0)
      return -1;
  return 0;
}

// Outside the import system nobody else takes a failed module out of
// sys.modules, and a later import would hand it out half made.
void Unregister(PyObject* key, PyObject* module) noexcept {
  rt::PendingErrorScope keep;                    // the start-up's own error is the one to report
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_GetItemWithError(modules, key) == module) (void)PyDict_DelItem(modules, key);
}

// Stores a new reference in a state field; a failed start-up's leftovers go.
// 0, or -1 when `value` is null (its call failed with an exception set).
int Store(PyObject** field, rt::Ref value) noexcept {
  if (!value) return -1;
  rt::SetField(field, std::move(value));
  return 0;
}

// What the exec step has done so far, for its failure exit.
struct ExecProgress {
  int line = 1;                  // the source line a failure is reported at
  bool constants_ready = false;  // a traceback entry can be made
  rt::Ref registered_under;      // the sys.modules key when this start-up added the entry
};

// Adds the module to sys.modules unless an entry is there already.
int Register(PyObject* module, ExecProgress* progress) noexcept {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  rt::Ref key = rt::Ref::steal(PyUnicode_FromString(kThisModule.full_name));
  if (!key) return -1;
  if (PyDict_GetItemWithError(modules, key.get())) return 0;
  if (PyErr_Occurred() || PyDict_SetItem(modules, key.get(), module) < 0) return -1;
  progress->registered_under = std::move(key);
  return 0;
}

// The steps of the exec step in their fixed order. 0, or -1 with an exception set.
int ExecSteps(PyObject* module, ExecProgress* progress) noexcept {
  ModuleState& s = g_state;
  if (Store(&s.module_dict, rt::Ref::borrow(PyModule_GetDict(module))) < 0 ||
      Store(&s.builtins_module, rt::Ref::borrow(PyImport_AddModule("builtins"))) < 0 ||
      Store(&s.runtime_module, rt::Ref::borrow(PyImport_AddModule("_velmora_runtime"))) < 0 ||
      PyObject_SetAttrString(module, "__builtins__", s.builtins_module) < 0)
    return -1;

  if (g_runtime_version == 0) g_runtime_version = Rt_ParseVersion(Py_GetVersion());
  if (Rt_CheckVersion(g_runtime_version, kThisModule.full_name) < 0) return -1;

  if (Store(&s.empty_tuple, rt::Ref::steal(PyTuple_New(0))) < 0 ||
      Store(&s.empty_bytes, rt::Ref::steal(PyBytes_FromStringAndSize("", 0))) < 0 ||
      Store(&s.empty_unicode, rt::Ref::steal(PyUnicode_FromStringAndSize("", 0))) < 0)
    return -1;

  if (Rt_InitConstants(&s, kThisModule.constants) < 0) return -1;
  progress->constants_ready = true;

  if (Rt_FetchSharedTypes(&s) < 0 || Register(module, progress) < 0 || BuildCodeObjects() < 0)
    return -1;

  if (kThisModule.body(&progress->line) < 0) return -1;
  progress->line = 1;

  rt::Ref test = rt::Ref::steal(PyDict_New());
  if (!test) return -1;
  return PyDict_SetItem(s.module_dict, Rt_Const(kThisModule.names.dunder_test), test.get());
}

}  // namespace

extern "C" int Rt_ModuleExec(PyObject* module) noexcept {
  if (g_module_object) {
    if (g_module_object == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 kThisModule.short_name);
    return -1;
  }
  g_module_object = rt::NewRef(module);

  ExecProgress progress;
  if (ExecSteps(module, &progress) == 0) return 0;
  if (g_state.module_dict && progress.constants_ready)
    Rt_AddTraceback(kThisModule.init_name, progress.line, kThisModule.source_path);
  if (progress.registered_under) Unregister(progress.registered_under.get(), module);
  rt::SetField(&g_module_object, rt::Ref());
  return -1;
}
