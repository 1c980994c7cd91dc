// Imports with the sys.modules shortcut, and names taken from modules.
#include "runtime/imports.h"

#include "runtime/exceptions.h"
#include "runtime/globals.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"

// 1 with *result set when sys.modules can answer, 0 to import, -1 on error.
static int FromSysModules(PyObject* absolute_name, PyObject* const* fromlist,
                          Py_ssize_t fromlist_count, PyObject** result) noexcept {
  PyObject* module = PyImport_GetModule(absolute_name);
  if (!module) return PyErr_Occurred() ? -1 : 0;
  if (module == Py_None) {
    // A blocked import: the machinery raises the interpreter's own error for it.
    Py_DECREF(module);
    return 0;
  }
  if (fromlist) {
    for (Py_ssize_t i = 0; i < fromlist_count; ++i) {
      if (!PyObject_HasAttr(module, fromlist[i])) {
        Py_DECREF(module);
        return 0;
      }
    }
    *result = module;
    return 1;
  }
  Py_ssize_t dot = PyUnicode_FindChar(absolute_name, '.', 0, PyUnicode_GET_LENGTH(absolute_name), 1);
  if (dot == -1) {
    *result = module;
    return 1;
  }
  Py_DECREF(module);
  if (dot == -2) return -1;
  PyObject* top = PyUnicode_Substring(absolute_name, 0, dot);
  if (!top) return -1;
  module = PyImport_GetModule(top);
  Py_DECREF(top);
  if (!module) return PyErr_Occurred() ? -1 : 0;
  if (module == Py_None) {
    Py_DECREF(module);
    return 0;
  }
  *result = module;
  return 1;
}

PyObject* Rt_ImportModule(PyObject* name, PyObject* const* fromlist, Py_ssize_t fromlist_count,
                          PyObject* globals, int level, PyObject* absolute_name) noexcept {
  PyObject* module = nullptr;
  int found = FromSysModules(absolute_name, fromlist, fromlist_count, &module);
  if (found < 0) return nullptr;
  if (found) return module;
  PyObject* locals = PyDict_New();
  if (!locals) return nullptr;
  PyObject* list = nullptr;
  if (fromlist) {
    list = PyList_New(fromlist_count);
    if (!list) {
      Py_DECREF(locals);
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < fromlist_count; ++i) {
      Py_INCREF(fromlist[i]);
      PyList_SET_ITEM(list, i, fromlist[i]);
    }
  }
  module = PyImport_ImportModuleLevelObject(name, globals, locals, list, level);
  Py_XDECREF(list);
  Py_DECREF(locals);
  return module;
}

PyObject* Rt_ImportFrom(PyObject* module, PyObject* name) noexcept {
  PyObject* value = Rt_GetAttr(module, name);
  if (value) return value;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    // A submodule that is in sys.modules but not yet an attribute of its package.
    if (const char* package = PyModule_GetName(module)) {
      PyObject* full = PyUnicode_FromFormat("%s%U%U", package, Rt_Const(kThisModule.names.dot), name);
      if (full) {
        value = PyImport_GetModule(full);
        Py_DECREF(full);
        if (value) return value;
      }
    }
  }
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return nullptr;
}

int Rt_ImportNamesInto(PyObject* globals, PyObject* name, PyObject* const* names,
                       Py_ssize_t count, int level, PyObject* absolute_name) noexcept {
  PyObject* module = Rt_ImportModule(name, names, count, globals, level, absolute_name);
  if (!module) return -1;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* value = Rt_ImportFrom(module, names[i]);
    if (!value) {
      Py_DECREF(module);
      return -1;
    }
    int rc = PyDict_SetItem(globals, names[i], value);
    Py_DECREF(value);
    if (rc < 0) {
      Py_DECREF(module);
      return -1;
    }
  }
  Py_DECREF(module);
  return 0;
}
