// Class construction: bases resolved through __mro_entries__, the most derived
// metaclass, a prepared namespace and the metaclass call.
#include "runtime/class_construction.h"

#include <cassert>

#include "runtime/calls.h"
#include "runtime/cpython38.h"
#include "runtime/cyfunction.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"

PyObject* Rt_ResolveBases(PyObject* bases) noexcept {
  PyObject* list = nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  PyObject* mro_entries_name = Rt_Const(kThisModule.names.dunder_mro_entries);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(bases, i);
    PyObject* entries = nullptr;
    if (!PyType_Check(base)) {
      PyObject* method = Rt_GetAttrNoError(base, mro_entries_name);
      if (!method && PyErr_Occurred()) goto error;
      if (method) {
        PyObject* slots[2] = {nullptr, bases};
        entries = Rt_FastCall(method, slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        Py_DECREF(method);
        if (!entries) goto error;
        if (!PyTuple_Check(entries)) {
          PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
          Py_DECREF(entries);
          goto error;
        }
      }
    }
    if (entries) {
      if (!list) {
        list = PyList_New(i);
        if (!list) {
          Py_DECREF(entries);
          goto error;
        }
        for (Py_ssize_t j = 0; j < i; ++j) {
          PyObject* kept = PyTuple_GET_ITEM(bases, j);
          Py_INCREF(kept);
          PyList_SET_ITEM(list, j, kept);
        }
      }
      Py_ssize_t end = PyList_GET_SIZE(list);
      int rc = PyList_SetSlice(list, end, end, entries);
      Py_DECREF(entries);
      if (rc < 0) goto error;
    } else if (list && PyList_Append(list, base) < 0) {
      goto error;
    }
  }
  if (list) {
    PyObject* resolved = PyList_AsTuple(list);
    Py_DECREF(list);
    return resolved;
  }
  Py_INCREF(bases);
  return bases;
error:
  Py_XDECREF(list);
  return nullptr;
}

PyObject* Rt_CalculateMetaclass(PyObject* bases) noexcept {
  PyTypeObject* winner = nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (!winner) {
      winner = t;
    } else if (PyType_IsSubtype(winner, t)) {
      continue;
    } else if (PyType_IsSubtype(t, winner)) {
      winner = t;
    } else {
      PyErr_SetString(PyExc_TypeError,
                      "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                      "subclass of the metaclasses of all its bases");
      return nullptr;
    }
  }
  if (!winner) winner = &PyType_Type;
  Py_INCREF(winner);
  return reinterpret_cast<PyObject*>(winner);
}

PyObject* Rt_PrepareClassNamespace(PyObject* metaclass, PyObject* bases, PyObject* name,
                                   PyObject* qualname, PyObject* module_name) noexcept {
  PyObject* ns = nullptr;
  if (metaclass) {
    PyObject* prepare = Rt_GetAttrNoError(metaclass, Rt_Const(kThisModule.names.dunder_prepare));
    if (prepare) {
      PyObject* slots[3] = {nullptr, name, bases};
      ns = Rt_FastCall(prepare, slots + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
      Py_DECREF(prepare);
    } else if (!PyErr_Occurred()) {
      ns = PyDict_New();
    }
  } else {
    ns = PyDict_New();
  }
  if (!ns) return nullptr;
  if (PyObject_SetItem(ns, Rt_Const(kThisModule.names.dunder_module), module_name) < 0 ||
      PyObject_SetItem(ns, Rt_Const(kThisModule.names.dunder_qualname), qualname) < 0) {
    Py_DECREF(ns);
    return nullptr;
  }
  return ns;
}

int Rt_SetNamespaceItem(PyObject* ns, PyObject* key, PyObject* value) noexcept {
  assert(Rt_IsInternedName(key));
  if (PyDict_CheckExact(ns)) return _PyDict_SetItem_KnownHash(ns, key, value, Rt_StrCachedHash(key));
  return PyObject_SetItem(ns, key, value);
}

PyObject* Rt_CreateClass(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* ns) noexcept {
  PyObject* slots[4] = {nullptr, name, bases, ns};
  return Rt_FastCall(metaclass, slots + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

int Rt_DefineClass(const ClassStatement& st, int (*fill)(PyObject* ns, int* line), int* line) noexcept {
  *line = st.line;
  PyObject* base = Rt_GetModuleGlobal(st.base_name, st.base_cache);
  if (!base) return -1;
  PyObject* orig_bases = PyTuple_Pack(1, base);
  Py_DECREF(base);
  if (!orig_bases) return -1;
  PyObject *bases = nullptr, *metaclass = nullptr, *ns = nullptr, *cls = nullptr;
  int rc = -1;
  if (!(bases = Rt_ResolveBases(orig_bases))) goto done;
  if (!(metaclass = Rt_CalculateMetaclass(bases))) goto done;
  if (!(ns = Rt_PrepareClassNamespace(metaclass, bases, st.name, st.name, st.module_name))) goto done;
  if (bases != orig_bases && PyMapping_SetItemString(ns, "__orig_bases__", orig_bases) < 0) goto done;
  Py_CLEAR(orig_bases);
  if (fill(ns, line) < 0) goto done;
  *line = st.line;
  if (!(cls = Rt_CreateClass(metaclass, st.name, bases, ns))) goto done;
  rc = PyDict_SetItem(g_state.module_dict, st.name, cls);
done:
  Py_XDECREF(cls);
  Py_XDECREF(ns);
  Py_XDECREF(metaclass);
  Py_XDECREF(bases);
  Py_XDECREF(orig_bases);
  return rc;
}

int Rt_DefineMethod(PyObject* ns, const MethodStatement& st) noexcept {
  PyObject* annotations = PyDict_New();
  if (!annotations) return -1;
  for (int i = 0; i < st.annotation_count; ++i) {
    if (PyDict_SetItem(annotations, st.annotations[2 * i], st.annotations[2 * i + 1]) < 0) {
      Py_DECREF(annotations);
      return -1;
    }
  }
  PyObject* func = Rt_CyFunction_New(st.def, 0, st.qualname, nullptr, st.module_name,
                                     g_state.module_dict, st.code);
  if (!func) {
    Py_DECREF(annotations);
    return -1;
  }
  Py_XSETREF(AsCyFunction(func)->annotations, annotations);  // the field takes our reference
  int rc = Rt_SetNamespaceItem(ns, st.name, func);
  Py_DECREF(func);
  return rc;
}
