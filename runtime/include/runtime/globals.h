// Reads of module globals through per-site caches, builtins and attributes.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstdint>

#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

// One per read site: the module dict's version at the last lookup and what it
// found there (borrowed: the dict owns it; null when the name was absent).
struct GlobalLookupCache {
  uint64_t version;  // 0 is never a dict version, so the first read looks
  PyObject* value;
};

// New reference; null with NameError (or the attribute lookup's error).
PyObject* Rt_GetBuiltinName(PyObject* name) noexcept;
// New reference; null without an exception when the attribute is missing.
PyObject* Rt_GetAttrNoError(PyObject* obj, PyObject* name) noexcept;

// New reference, or null with NameError or another exception. `name` is an
// interned constant whose hash is already cached.
inline PyObject* Rt_GetModuleGlobal(PyObject* name, GlobalLookupCache* cache) noexcept {
  // A lookup with an exception set would clear it on a miss.
  assert(!PyErr_Occurred() && "a global is read with no exception pending");
  assert(Rt_IsInternedName(name));
  PyObject* d = g_state.module_dict;
#if RT_HAVE_DICT_VERSION
  if (cache->version == Rt_DictVersion(d)) {
    if (!cache->value) return Rt_GetBuiltinName(name);
    return rt::NewRef(cache->value);
  }
  PyObject* value = _PyDict_GetItem_KnownHash(d, name, Rt_StrCachedHash(name));  // borrowed
  cache->version = Rt_DictVersion(d);
  cache->value = value;
#else
  (void)cache;  // nothing tells when the dict changed: every read looks
  PyObject* value = _PyDict_GetItem_KnownHash(d, name, Rt_StrCachedHash(name));  // borrowed
#endif
  if (value) return rt::NewRef(value);
  PyErr_Clear();
  return Rt_GetBuiltinName(name);
}

// Reads an attribute through the type's hook, as the interpreter does.
inline PyObject* Rt_GetAttr(PyObject* obj, PyObject* name) noexcept {
  getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
  return getattro ? getattro(obj, name) : PyObject_GetAttr(obj, name);
}
