// Imports with the sys.modules shortcut, and names taken from modules.
#include "runtime/imports.h"

#include "runtime/exceptions.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "runtime/runtime_names.h"

using rt::Ref;

// A module of sys.modules by name: empty without an error when it is absent or
// blocked (None), where the machinery raises the interpreter's own error.
static Ref ModuleInSysModules(PyObject* name) noexcept {
  Ref module = Ref::steal(PyImport_GetModule(name));
  if (module.get() == Py_None) return Ref();
  return module;
}

// 1 with *result set when sys.modules can answer, 0 to import, -1 on error.
static int FromSysModules(PyObject* absolute_name, PyObject* const* fromlist,
                          Py_ssize_t fromlist_count, Ref* result) noexcept {
  Ref module = ModuleInSysModules(absolute_name);
  if (!module) return PyErr_Occurred() ? -1 : 0;
  if (fromlist) {
    for (Py_ssize_t i = 0; i < fromlist_count; ++i)
      if (!PyObject_HasAttr(module.get(), fromlist[i])) return 0;
    *result = std::move(module);
    return 1;
  }
  Py_ssize_t dot =
      PyUnicode_FindChar(absolute_name, '.', 0, PyUnicode_GET_LENGTH(absolute_name), 1);
  if (dot == -1) {
    *result = std::move(module);
    return 1;
  }
  module.reset();
  if (dot == -2) return -1;
  Ref top_name = Ref::steal(PyUnicode_Substring(absolute_name, 0, dot));
  if (!top_name) return -1;
  Ref top = ModuleInSysModules(top_name.get());
  top_name.reset();
  if (!top) return PyErr_Occurred() ? -1 : 0;
  *result = std::move(top);
  return 1;
}

Ref Rt_ImportModule(PyObject* name, PyObject* const* fromlist, Py_ssize_t fromlist_count,
                    PyObject* globals, int level, PyObject* absolute_name) noexcept {
  Ref module;
  if (FromSysModules(absolute_name, fromlist, fromlist_count, &module) != 0) return module;
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return locals;
  Ref list;
  if (fromlist) {
    list = rt::ListFromArray(fromlist, fromlist_count);
    if (!list) return list;
  }
  return Ref::steal(
      PyImport_ImportModuleLevelObject(name, globals, locals.get(), list.get(), level));
}

Ref Rt_ImportFrom(PyObject* module, PyObject* name) noexcept {
  Ref value = Rt_GetAttr(module, name);
  if (value) return value;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    // A submodule that is in sys.modules but not yet an attribute of its package.
    if (const char* package = PyModule_GetName(module)) {
      Ref full = Ref::steal(
          PyUnicode_FromFormat("%s%U%U", package, Rt_RuntimeName(&RuntimeNameSlots::dot), name));
      if (full) {
        Ref submodule = Ref::steal(PyImport_GetModule(full.get()));
        full.reset();
        if (submodule) return submodule;
      }
    }
  }
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return Ref();
}

int Rt_ImportNamesInto(PyObject* globals, PyObject* name, PyObject* const* names, Py_ssize_t count,
                       int level, PyObject* absolute_name) noexcept {
  Ref module = Rt_ImportModule(name, names, count, globals, level, absolute_name);
  if (!module) return -1;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref value = Rt_ImportFrom(module.get(), names[i]);
    if (!value || PyDict_SetItem(globals, names[i], value.get()) < 0) return -1;
  }
  return 0;
}
