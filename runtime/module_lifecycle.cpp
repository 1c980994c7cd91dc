// Module creation and execution: the whole start-up of a module.
#include "runtime/module_lifecycle.h"

#include <cassert>

#include "runtime/exceptions.h"
#include "runtime/internals.h"
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

// loader.get_source(name) as the loader of the .py beside the extension
// module answers it: that file's text, None when there is no such file,
// ImportError for another module's name.
PyObject* GetSource(PyObject* loader, PyObject* name) noexcept {
  rt::Ref file = rt::Ref::steal(PyObject_GetAttrString(loader, "path"));
  if (!file) return nullptr;
  rt::Ref os_path = rt::Ref::steal(PyImport_ImportModule("os.path"));
  if (!os_path) return nullptr;
  rt::Ref folder = rt::Ref::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", file.get()));
  if (!folder) return nullptr;
  rt::Ref source_name = rt::Ref::steal(PyUnicode_FromFormat("%s.py", kThisModule.short_name));
  if (!source_name) return nullptr;
  rt::Ref path = rt::Ref::steal(
      PyObject_CallMethod(os_path.get(), "join", "OO", folder.get(), source_name.get()));
  if (!path) return nullptr;
  rt::Ref found = rt::Ref::steal(PyObject_CallMethod(os_path.get(), "isfile", "O", path.get()));
  if (!found) return nullptr;
  int is_file = PyObject_IsTrue(found.get());
  if (is_file < 0) return nullptr;
  if (!is_file) Py_RETURN_NONE;
  rt::Ref module_name = rt::Ref::steal(PyObject_GetAttrString(loader, "name"));
  if (!module_name) return nullptr;
  rt::Ref machinery = rt::Ref::steal(PyImport_ImportModule("importlib.machinery"));
  if (!machinery) return nullptr;
  rt::Ref source_loader = rt::Ref::steal(PyObject_CallMethod(machinery.get(), "SourceFileLoader",
                                                             "OO", module_name.get(), path.get()));
  if (!source_loader) return nullptr;
  return PyObject_CallMethod(source_loader.get(), "get_source", "O", name);
}

PyMethodDef g_get_source_def = {"get_source", GetSource, METH_O, nullptr};

// Lets the extension loader that loads the module answer its source, read
// when a traceback is shown: linecache asks the loader for the lines of the
// entries, and the extension loader answers that there is no source. Other
// loaders keep their own answer. Bound to the loader, not the module: a
// failed start-up leaves nothing holding its module.
int LendSource(PyObject* module) noexcept {
  rt::Ref loader = rt::Ref::borrow(PyDict_GetItemString(PyModule_GetDict(module), "__loader__"));
  if (!loader) return 0;
  rt::Ref bootstrap_name = rt::Ref::steal(PyUnicode_FromString("_frozen_importlib_external"));
  if (!bootstrap_name) return -1;
  // Where the interpreter keeps importlib.machinery's loaders from its start.
  rt::Ref bootstrap = rt::Ref::steal(PyImport_GetModule(bootstrap_name.get()));
  if (!bootstrap) return PyErr_Occurred() ? -1 : 0;
  rt::Ref extension_loader =
      rt::Ref::steal(PyObject_GetAttrString(bootstrap.get(), "ExtensionFileLoader"));
  if (!extension_loader) return -1;
  if (reinterpret_cast<PyObject*>(Py_TYPE(loader.get())) != extension_loader.get()) return 0;
  rt::Ref get_source = rt::Ref::steal(PyCFunction_NewEx(&g_get_source_def, loader.get(), nullptr));
  if (!get_source) return -1;
  return PyObject_SetAttrString(loader.get(), "get_source", get_source.get());
}

// The steps of the exec step in their fixed order. 0, or -1 with an exception set.
int ExecSteps(PyObject* module, ExecProgress* progress) noexcept {
  ModuleState& s = g_state;
  if (Store(&s.module_dict, rt::Ref::borrow(PyModule_GetDict(module))) < 0 ||
      Store(&s.builtins_module, rt::Ref::borrow(PyImport_AddModule("builtins"))) < 0 ||
      Store(&s.runtime_module, rt::Ref::borrow(PyImport_AddModule("_velmora_runtime"))) < 0 ||
      PyObject_SetAttrString(module, "__builtins__", s.builtins_module) < 0)
    return -1;
  rt::internals::WatchModuleDict(s.module_dict);

  if (g_runtime_version == 0) g_runtime_version = Rt_ParseVersion(Py_GetVersion());
  if (Rt_CheckVersion(g_runtime_version, kThisModule.full_name) < 0) return -1;

  if (Store(&s.empty_tuple, rt::Ref::steal(PyTuple_New(0))) < 0 ||
      Store(&s.empty_bytes, rt::Ref::steal(PyBytes_FromStringAndSize("", 0))) < 0 ||
      Store(&s.empty_unicode, rt::Ref::steal(PyUnicode_FromStringAndSize("", 0))) < 0)
    return -1;

  if (Rt_InitConstants(&s, kThisModule.constants) < 0) return -1;
  progress->constants_ready = true;

  if (Rt_FetchSharedTypes(&s) < 0 || Register(module, progress) < 0 || BuildCodeObjects() < 0 ||
      LendSource(module) < 0)
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
